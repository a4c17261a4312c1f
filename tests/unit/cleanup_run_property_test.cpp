// The whole clean-up run over random machines, drawn by RapidCheck. Each
// machine mixes what a user's machine can hold (components present or not,
// readable or not, startable or not; product processes among near misses and
// many others, some out of reach; installer products with exact, near-miss
// and overlong names; a folder lookup that fails or a path with no narrow
// form; msi.dll missing or incomplete, an old Windows 7, libraries planted
// beside the program) with failures of the calls the run makes.
//
// The expectations come from what the generator planted and labelled, never
// from a rule of the program worked out again here: a component's
// uninstaller is drawn as "starts", "cannot start" or "is not there"; a
// process as "a product process in reach" or "a near miss"; the products as
// those that must be passed over, the one that must be removed, and those
// after it; msiexec's exit code from the class of codes Windows Installer
// documents as success or as failure.
//
// Seeds: the normal run draws from a fixed seed, so it is the same run each
// time. RC_PARAMS overrides it and the other settings, e.g.
//   RC_PARAMS="seed=12345 max_success=5000"
//       ./build/tests/unit/unit_tests --gtest_filter='RandomMachinesTest.*'
// A failure is shrunk to the smallest machine that still fails and printed
// as C++ that scripts fake::Machine, ready for a plain unit case; RapidCheck
// also prints the RC_PARAMS="reproduce=..." that replays it.
#include <windows.h>

#include <rapidcheck.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "cleanup/cleanup_run.h"
#include "machine_test.h"

namespace {

using rc::Gen;
namespace gen = rc::gen;

constexpr uint64_t kDefaultSeed = 0x70B1C5ED;
constexpr int kDefaultMachineCount = 1500;

// What the run is about, written out here rather than taken from the
// program, so that a changed name in the program shows up as a failure.
const std::vector<std::string> kComponents = {
    "Tovik Hosted Apps Client",
    "Tovik Remote Desk Client",
    "Device Inspector",
    "Deploy Client",
};
const std::vector<std::string> kProductProcesses = {
    "tvDeviceInspector.exe",     "uacDeviceInspector.exe",
    "TovikWorkspaceStarter.exe", "tvRemoteDesk.exe",
    "TovikDeployClient.exe",
};
const char kStarter[] = "Tovik Workspace Starter";
const char kMsiexec[] = "c:\\Windows\\system32\\msiexec.exe";
const char kNothingFound[] = "No Tovik Components found to uninstall";
const char kDefaultRoaming[] = "C:\\Users\\user1\\AppData\\Roaming";
const char kFillerImage[] =
    "\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe";
constexpr DWORD kWaitMilliseconds = 10000;

std::string uninstallerOf(const std::string& roaming,
                          const std::string& component) {
  return roaming + "\\Tovik\\" + component + "\\uninstall.exe";
}

// --- Texts as C++ ----------------------------------------------------------

// A text as a C++ expression: escapes for what is not printable ASCII, and
// long runs of one character as std::string(n, 'c').
template <typename Char>
std::string cppExpression(const std::basic_string<Char>& text) {
  const bool wide = sizeof(Char) > 1;
  const std::string prefix = wide ? "L" : "";
  std::vector<std::string> parts;
  std::string literal;
  bool lastWasHexEscape = false;
  auto flush = [&] {
    if (!literal.empty()) {
      parts.push_back(prefix + "\"" + literal + "\"");
      literal.clear();
    }
    lastWasHexEscape = false;
  };
  for (size_t i = 0; i < text.size();) {
    size_t run = 1;
    while (i + run < text.size() && text[i + run] == text[i]) {
      ++run;
    }
    const auto unit =
        static_cast<uint32_t>(static_cast<std::make_unsigned_t<Char>>(text[i]));
    if (run >= 16 && unit >= 0x20 && unit < 0x7F && unit != '\'' &&
        unit != '\\') {
      flush();
      parts.push_back(std::string(wide ? "std::wstring(" : "std::string(") +
                      std::to_string(run) + ", " + prefix + "'" +
                      static_cast<char>(unit) + "')");
      i += run;
      continue;
    }
    char escaped[16] = {};
    if (unit == '\\' || unit == '"') {
      std::snprintf(escaped, sizeof escaped, "\\%c", static_cast<char>(unit));
    } else if (unit == '\n') {
      std::snprintf(escaped, sizeof escaped, "\\n");
    } else if (unit >= 0x20 && unit < 0x7F) {
      if (lastWasHexEscape && std::isxdigit(static_cast<int>(unit))) {
        literal += "\" " + prefix + "\"";  // ends the escape before it
      }
      escaped[0] = static_cast<char>(unit);
    } else if (wide) {
      std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unit);
    }
    literal += escaped;
    lastWasHexEscape = !wide && (unit < 0x20 || unit >= 0x7F);
    ++i;
  }
  flush();
  if (parts.empty()) {
    return prefix + "\"\"";
  }
  std::string expression = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    expression += " + " + parts[i];
  }
  return expression;
}

std::string cpp(const std::string& text) { return cppExpression(text); }

// --- What the generator plants, and what it says of it ---------------------

// Where the roaming folder is and whether the narrow calls can reach it.
struct Folder {
  std::string label;
  UINT codePage = fake::kCodePageWestern;
  std::wstring wide;
  // The lossless narrow form in the code page, when there is one.
  std::optional<std::string> narrow;
  // Where a lossy, shortened or fallen-back path would lead: the components
  // are planted there as traps when the folder cannot be used.
  std::vector<std::string> lossyForms;
  HRESULT lookupResult = S_OK;
  int failingConversionCall = 0;  // 0: none
  bool usable = true;             // the run must look below `narrow`
  // What the volume gives as the folder's 8.3 form: nothing scripted (the
  // long path comes back), a short path, or a failure; or it keeps none.
  std::optional<std::wstring> shortPath = std::nullopt;
  DWORD shortPathError = 0;
  bool volumeWithoutShortNames = false;
};

std::vector<Folder> folders() {
  const std::wstring longWide =
      L"C:\\Users\\" + std::wstring(1100, L'u') + L"\\AppData\\Roaming";
  const std::string longNarrow =
      "C:\\Users\\" + std::string(1100, 'u') + "\\AppData\\Roaming";
  const std::wstring plain = L"C:\\Users\\user1\\AppData\\Roaming";
  const std::wstring ivan =
      L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\Roaming";
  const std::wstring rene = L"C:\\Users\\Ren\u00e9\\AppData\\Roaming";
  const std::wstring shortIvanWide = L"C:\\Users\\____~1\\AppData\\Roaming";
  const std::string shortIvan = "C:\\Users\\____~1\\AppData\\Roaming";
  return {
      {"folder: plain", fake::kCodePageWestern, plain, kDefaultRoaming, {}},
      {"folder: Latin-1 letter under 1252",
       fake::kCodePageWestern,
       rene,
       "C:\\Users\\Ren\xe9\\AppData\\Roaming",
       {}},
      {"folder: Cyrillic under 1251",
       fake::kCodePageCyrillic,
       ivan,
       "C:\\Users\\\xc8\xe2\xe0\xed\\AppData\\Roaming",
       {}},
      {"folder: Cyrillic under UTF-8",
       fake::kCodePageUtf8,
       ivan,
       "C:\\Users\\\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\\AppData\\Roaming",
       {}},
      {"folder: path over 1024 bytes",
       fake::kCodePageWestern,
       longWide,
       longNarrow,
       {}},
      {"folder: lookup fails",
       fake::kCodePageWestern,
       plain,
       kDefaultRoaming,
       {""},
       fake::kPathNotFoundResult,
       0,
       false},
      {"folder: conversion fails",
       fake::kCodePageWestern,
       plain,
       kDefaultRoaming,
       {""},
       S_OK,
       2,
       false},
      {"folder: Cyrillic under 1252, no narrow form",
       fake::kCodePageWestern,
       ivan,
       std::nullopt,
       {"", "C:\\Users\\????\\AppData\\Roaming"},
       S_OK,
       0,
       false},
      {"folder: L with stroke under 1252, no narrow form",
       fake::kCodePageWestern,
       L"C:\\Users\\\u0141ukasz\\AppData\\Roaming",
       std::nullopt,
       {"", "C:\\Users\\Lukasz\\AppData\\Roaming",
        "C:\\Users\\?ukasz\\AppData\\Roaming"},
       S_OK,
       0,
       false},
      {"folder: Latin-1 letter under 1251, no narrow form",
       fake::kCodePageCyrillic,
       rene,
       std::nullopt,
       {"", "C:\\Users\\Rene\\AppData\\Roaming",
        "C:\\Users\\Ren?\\AppData\\Roaming"},
       S_OK,
       0,
       false},
      {"folder: Cyrillic under 1252, reached by its short name",
       fake::kCodePageWestern,
       ivan,
       shortIvan,
       {"", "C:\\Users\\????\\AppData\\Roaming"},
       S_OK,
       0,
       true,
       shortIvanWide},
      {"folder: Cyrillic under 1252, no short names on the volume",
       fake::kCodePageWestern,
       ivan,
       std::nullopt,
       {"", "C:\\Users\\????\\AppData\\Roaming", shortIvan},
       S_OK,
       0,
       false,
       shortIvanWide,
       0,
       true},
      {"folder: Cyrillic under 1252, short name lookup fails",
       fake::kCodePageWestern,
       ivan,
       std::nullopt,
       {"", shortIvan},
       S_OK,
       0,
       false,
       shortIvanWide,
       fake::kErrorAccessDenied},
      {"folder: Cyrillic under 1252, short name outside the code page too",
       fake::kCodePageWestern,
       ivan,
       std::nullopt,
       {"", "C:\\Users\\????~1\\AppData\\Roaming"},
       S_OK,
       0,
       false,
       L"C:\\Users\\\u0418\u0412\u0410\u041d~1\\AppData\\Roaming"},
      {"folder: Cyrillic under 1252, short name does not fit",
       fake::kCodePageWestern,
       ivan,
       std::nullopt,
       {""},
       S_OK,
       0,
       false,
       L"C:\\" + std::wstring(33000, L's')},
  };
}

// What the uninstaller below a component's folder is. `started` and
// `completed` are what the run must make of it: an uninstaller that is not
// there is neither started nor named; one that cannot start is named as not
// completed; one that starts is completed whatever it returns.
struct UninstallerKind {
  const char* label;
  bool started;
  bool completed;
};

const std::vector<UninstallerKind> kUninstallerKinds = {
    {"component: absent", false, false},
    {"component: folder without uninstall.exe", false, false},
    {"component: a folder named uninstall.exe", false, false},
    {"component: file that cannot be opened for reading", false, false},
    {"component: unreadable file that would run", false, false},
    {"component: readable file that is not a program", true, false},
    {"component: start refused", true, false},
    {"component: starts and exits within the wait", true, true},
    {"component: starts and runs past the wait", true, true},
    {"component: starts, exit code cannot be read", true, true},
};
enum Uninstaller : size_t {
  kAbsent,
  kFolderWithoutIt,
  kFolderNamedLikeIt,
  kUnreadable,
  kUnreadableRunnable,
  kNotAProgram,
  kStartRefused,
  kExits,
  kOutlivesWait,
  kExitCodeUnreadable,
};

struct ComponentPlan {
  size_t kind = kAbsent;
  fake::Program program;
  DWORD fileError = 0;
};

enum class ProcessKind {
  kFiller,           // one of the many others
  kProduct,          // a product process the sweep can open and name
  kProductShut,      // a product process that cannot be opened
  kProductNameless,  // a product process whose name cannot be read
  kNearMiss,         // a base name close to a product's, but not it
  kMisleading,       // a product's name elsewhere in the path
};

struct PlannedProcess {
  ProcessKind kind = ProcessKind::kFiller;
  fake::Process process;
  std::string label;  // how the name was made
};

enum class EnumerationFailure { kNone, kFirstCall, kSecondCall };

// Windows Installer's own exit codes, by what it documents them to mean,
// and the other things msiexec can do. `completed`: the summary must name
// the product as removed.
struct MsiexecKind {
  const char* label;
  bool completed;
};
const std::vector<MsiexecKind> kMsiexecKinds = {
    {"msiexec: exits with a documented success code", true},
    {"msiexec: removed it, a restart is needed (3010)", true},
    {"msiexec: exits with a documented failure code", false},
    {"msiexec: outlives the wait", true},
    {"msiexec: exit code cannot be read", true},
    {"msiexec: cannot start", false},
    {"msiexec: not there", false},
};
enum Msiexec : size_t {
  kMsiSucceeds,
  kMsiRestartNeeded,
  kMsiFails,
  kMsiOutlives,
  kMsiCodeUnreadable,
  kMsiStartRefused,
  kMsiMissing,
};

struct MsiexecPlan {
  size_t kind = kMsiSucceeds;
  fake::Program program;
};

// How a product's installation is reported, and what the run must say.
struct AssignmentKind {
  std::string value;
  const char* installedLine;
};
const std::vector<AssignmentKind> kAssignmentKinds = {
    {"0", "\tInstalled per-user non-managed\n"},
    {"1", "\tInstalled per-machine non-managed\n"},
    {"", "\tInstalled per-user non-managed\n"},
};

struct PlannedProduct {
  fake::Product product;
  std::string label;
  size_t assignment = 0;  // into kAssignmentKinds
};

enum class ProductEnumFailure { kNone, kBeforeTheStarter, kAfterTheStarter };

enum class MsiLibrary { kLoads, kMissing, kExportMissing };

// The window station the process runs on. Only one known to be hidden
// means nobody can see a box.
struct StationKind {
  const char* label;
  bool boxShown;
};
const std::vector<StationKind> kStationKinds = {
    {"window station: visible", true},
    {"window station: hidden", false},
    {"window station: cannot be had", true},
    {"window station: flags cannot be read", true},
};
enum Station : size_t {
  kStationVisible,
  kStationHidden,
  kStationUnknown,
  kStationFlagsUnreadable,
};

struct Scenario {
  Folder folder;
  std::vector<ComponentPlan> components;  // one for each of kComponents

  std::vector<PlannedProcess> processes;
  EnumerationFailure enumeration = EnumerationFailure::kNone;
  DWORD enumerationError = 0;

  // Products the walk must pass over (not the exact name, or a query of
  // theirs fails), then the one it must remove, then any others.
  std::vector<PlannedProduct> passedOver;
  std::optional<PlannedProduct> starter;
  std::vector<PlannedProduct> after;
  ProductEnumFailure productEnumeration = ProductEnumFailure::kNone;
  DWORD productEnumerationIndex = 0;
  UINT productEnumerationError = 0;
  MsiexecPlan msiexec;

  bool windows7WithoutUpdate = false;
  bool msiPlanted = false;
  bool uxthemePlanted = false;
  MsiLibrary msiLibrary = MsiLibrary::kLoads;
  DWORD msiLoadError = 0;  // for kMissing
  std::string missingExport;

  DWORD messageBoxError = 0;
  DWORD closeHandleError = 0;
  size_t station = kStationVisible;

  std::vector<PlannedProduct> products() const {
    std::vector<PlannedProduct> all = passedOver;
    if (starter) all.push_back(*starter);
    all.insert(all.end(), after.begin(), after.end());
    return all;
  }
  bool productPhaseRuns() const { return msiLibrary == MsiLibrary::kLoads; }
  bool starterRemoved() const {
    return productPhaseRuns() && starter.has_value() &&
           productEnumeration != ProductEnumFailure::kBeforeTheStarter;
  }
};

// --- Generators ------------------------------------------------------------

// A value in [min, max), drawn alike whatever RapidCheck's size is: the
// choices between kinds of machine must not depend on how far the run has
// got. Shrinking still goes towards `min`.
template <typename T>
Gen<T> uniform(T min, T max) {
  return gen::resize(100, gen::inRange(min, max));
}

// True in `percent` of the draws; shrinks to false, so that a shrunk
// machine keeps only the oddities it needs.
bool chance(int percent) { return *uniform(0, 100) >= 100 - percent; }

// A list of up to `most` elements; shrinking drops any of them.
template <typename T, typename Draw>
std::vector<T> listOf(int most, Draw draw) {
  return *gen::resize(most, gen::container<std::vector<T>>(gen::exec(draw)));
}

// One of `choices` by weight. Shrinks towards the first, which is where
// the plain case goes.
template <typename T>
T weighted(const std::vector<std::pair<int, T>>& choices) {
  int total = 0;
  for (const auto& choice : choices) total += choice.first;
  int roll = *uniform(0, total);
  for (const auto& choice : choices) {
    if (roll < choice.first) return choice.second;
    roll -= choice.first;
  }
  return choices.back().second;
}

template <typename T>
T pick(const std::vector<T>& choices) {
  return choices[*uniform<size_t>(0, choices.size())];
}

ComponentPlan drawComponent() {
  ComponentPlan c;
  c.kind = weighted<size_t>({{30, kAbsent},
                             {4, kFolderWithoutIt},
                             {4, kFolderNamedLikeIt},
                             {4, kUnreadable},
                             {4, kUnreadableRunnable},
                             {5, kNotAProgram},
                             {5, kStartRefused},
                             {30, kExits},
                             {7, kOutlivesWait},
                             {5, kExitCodeUnreadable}});
  c.program.exitCode = pick<DWORD>({0, 1, 3, 0xC0000005u});
  c.program.runsForMilliseconds = *uniform<DWORD>(0, kWaitMilliseconds + 1);
  switch (c.kind) {
    case kOutlivesWait:
      c.program.runsForMilliseconds =
          *uniform<DWORD>(kWaitMilliseconds + 1, 10 * kWaitMilliseconds);
      break;
    case kStartRefused:
      c.program.startError = pick<DWORD>({fake::kErrorAccessDenied, 32});
      break;
    case kExitCodeUnreadable:
      c.program.exitCodeReadError = fake::kErrorAccessDenied;
      break;
    case kUnreadable:
    case kUnreadableRunnable:
      c.fileError = pick<DWORD>({fake::kErrorAccessDenied, 32});
      break;
    default:
      break;
  }
  return c;
}

std::string deviceFolder() {
  return pick<std::string>(
      {"\\Device\\HarddiskVolume3\\Program Files (x86)\\Tovik\\",
       "\\Device\\HarddiskVolume1\\Users\\user1\\AppData\\Local\\Tovik\\",
       "\\Device\\HarddiskVolume2\\"});
}

// A product process's image name, in one of the forms the sweep meets.
std::pair<std::string, std::string> productImage(const std::string& product) {
  switch (*uniform(0, 5)) {
    case 0:
      return {product, "product process with a bare name"};
    case 1:
      return {"\\Device\\HarddiskVolume3\\" +
                  std::string(*uniform(260, 2000), 'd') + "\\" + product,
              "product process with a name over 260 bytes"};
    default:
      return {deviceFolder() + product, "product process in a device folder"};
  }
}

// A base name that differs from a product's in a way a careless comparison
// would miss.
std::pair<std::string, std::string> nearMissImage(const std::string& p) {
  std::string upper;
  std::string lower;
  for (char c : p) {
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::vector<std::pair<std::string, std::string>> misses = {
      {upper, "near miss: upper case"},
      {lower, "near miss: lower case"},
      {p + ".old", "near miss: extra extension"},
      {p + " ", "near miss: trailing blank"},
      {"x" + p, "near miss: something in front"},
      {p.substr(0, p.size() - 4), "near miss: without .exe"},
      {p.substr(0, p.size() - 1), "near miss: one letter short"},
  };
  const auto miss = pick(misses);
  return {deviceFolder() + miss.first, miss.second};
}

std::pair<std::string, std::string> misleadingImage(const std::string& p) {
  return pick<std::pair<std::string, std::string>>(
      {{deviceFolder() + p + "\\helper.exe", "misleading: product as a folder"},
       {deviceFolder() + p + "\\", "misleading: empty base name"},
       {"C:/Program Files/Tovik/" + p, "misleading: forward slashes"}});
}

PlannedProcess drawSpecialProcess() {
  PlannedProcess planned;
  planned.kind = weighted<ProcessKind>({{45, ProcessKind::kProduct},
                                        {8, ProcessKind::kProductShut},
                                        {6, ProcessKind::kProductNameless},
                                        {30, ProcessKind::kNearMiss},
                                        {11, ProcessKind::kMisleading}});
  const std::string product = pick(kProductProcesses);
  fake::Process& p = planned.process;
  std::pair<std::string, std::string> image;
  switch (planned.kind) {
    case ProcessKind::kNearMiss:
      image = nearMissImage(product);
      break;
    case ProcessKind::kMisleading:
      image = misleadingImage(product);
      break;
    default:
      image = productImage(product);
      break;
  }
  p.imageName = image.first;
  planned.label = image.second;
  if (planned.kind == ProcessKind::kProductShut) {
    p.openError =
        pick<DWORD>({fake::kErrorAccessDenied, fake::kErrorInvalidParameter});
    planned.label = "product process that cannot be opened";
  } else if (planned.kind == ProcessKind::kProductNameless) {
    p.nameError =
        pick<DWORD>({fake::kErrorAccessDenied, fake::kErrorPartialCopy, 31});
    planned.label = "product process whose name cannot be read";
  }
  // How the termination itself goes does not change what must be asked.
  if (chance(6)) p.terminateError = fake::kErrorAccessDenied;
  if (chance(30)) p.exitCodeAfterTerminate = STILL_ACTIVE;
  if (chance(3)) p.exitCodeReadError = fake::kErrorAccessDenied;
  return planned;
}

void drawProcesses(Scenario& s) {
  const size_t fillers =
      *gen::weightedOneOf<size_t>({{60, uniform<size_t>(0, 26)},
                                   {28, uniform<size_t>(26, 201)},
                                   {12, uniform<size_t>(1000, 2100)}});
  s.processes.assign(fillers, PlannedProcess{});
  const auto specials = listOf<std::pair<size_t, PlannedProcess>>(8, [] {
    const size_t where = *uniform<size_t>(0, 2100);
    return std::pair{where, drawSpecialProcess()};
  });
  for (const auto& [where, planned] : specials) {
    const size_t at = where % (s.processes.size() + 1);
    s.processes.insert(s.processes.begin() + static_cast<ptrdiff_t>(at),
                       planned);
  }
  for (size_t i = 0; i < s.processes.size(); ++i) {
    s.processes[i].process.pid = static_cast<DWORD>(8 + 4 * i);
    if (s.processes[i].kind == ProcessKind::kFiller) {
      s.processes[i].process.imageName = kFillerImage;
    }
  }
  // The idle process heads the list on some machines.
  if (chance(50)) {
    PlannedProcess idle;
    idle.label = "the idle process";
    s.processes.insert(s.processes.begin(), idle);
  }
  s.enumeration =
      weighted<EnumerationFailure>({{90, EnumerationFailure::kNone},
                                    {5, EnumerationFailure::kFirstCall},
                                    {5, EnumerationFailure::kSecondCall}});
  if (s.enumeration != EnumerationFailure::kNone) {
    s.enumerationError =
        pick<DWORD>({fake::kErrorAccessDenied, fake::kErrorPartialCopy, 8});
  }
}

std::string productCode(size_t index) {
  char code[40];
  std::snprintf(code, sizeof code, "{6A1F4E2B-7C3D-4B8A-9E5F-%012zX}",
                index + 1);
  return code;
}

// A product the walk must pass over: another name, or the exact name with a
// query that fails.
PlannedProduct drawPassedOver() {
  PlannedProduct planned;
  fake::Product& p = planned.product;
  switch (*uniform(0, 5)) {
    case 0: {
      const auto miss = pick<std::pair<std::string, std::string>>(
          {{"tovik workspace starter", "lower case"},
           {"TOVIK WORKSPACE STARTER", "upper case"},
           {"Tovik Workspace Starter ", "trailing blank"},
           {"Tovik Workspace Starter 2", "a suffix"},
           {" Tovik Workspace Starter", "leading blank"},
           {"Tovik Workspace", "a prefix"},
           {"Tovik  Workspace Starter", "doubled blank"},
           {"Tovik Workspace Starte", "one letter short"}});
      p.name = miss.first;
      planned.label = "product: near-miss name (" + miss.second + ")";
      break;
    }
    case 1: {
      // Longer than a short first buffer holds, or right at its edge.
      const std::string start = pick<std::string>({kStarter, "Contoso Suite"});
      const size_t length = *gen::weightedOneOf<size_t>(
          {{3, uniform<size_t>(258, 263)}, {7, uniform<size_t>(263, 1201)}});
      p.name = start + std::string(length - start.size(), 'x');
      planned.label = "product: overlong other name";
      break;
    }
    case 2:
      p.name = pick<std::string>(
          {"Microsoft Visual C++ 2015-2022 Redistributable (x86)",
           "Tovik Device Inspector", "Tovik Remote Desk", "7-Zip 23.01"});
      planned.label = "product: another product";
      break;
    default: {
      p.name = kStarter;
      switch (*uniform(0, 3)) {
        case 0:
          p.assignmentTypeError = pick<UINT>({fake::kErrorUnknownProduct,
                                              fake::kErrorUnknownProperty,
                                              fake::kErrorBadConfiguration});
          planned.label = "product: exact name, AssignmentType query fails";
          break;
        case 1:
          p.nameError = pick<UINT>(
              {fake::kErrorUnknownProduct, fake::kErrorBadConfiguration});
          planned.label = "product: exact name, ProductName query fails";
          break;
        default:
          p.nameErrorOnceItFits = fake::kErrorUnknownProduct;
          planned.label =
              "product: exact name, gone before its name could be read";
          break;
      }
      break;
    }
  }
  // An overlong name read whole fails on some machines, too: the walk goes
  // on either way.
  if (p.name.size() > 259 && chance(33)) {
    p.nameErrorOnceItFits = fake::kErrorUnknownProduct;
  }
  planned.assignment = *uniform<size_t>(0, kAssignmentKinds.size());
  return planned;
}

PlannedProduct drawAnyProduct() {
  if (chance(33)) {
    PlannedProduct planned;
    planned.product.name = kStarter;
    planned.label = "product: second exact product";
    planned.assignment = *uniform<size_t>(0, kAssignmentKinds.size());
    return planned;
  }
  return drawPassedOver();
}

void drawProducts(Scenario& s) {
  s.passedOver = listOf<PlannedProduct>(5, drawPassedOver);
  if (chance(60)) {
    PlannedProduct starter;
    starter.product.name = kStarter;
    starter.label = "product: the starter";
    starter.assignment = *uniform<size_t>(0, kAssignmentKinds.size());
    s.starter = starter;
  }
  // Without the starter, any exact product later would be the first.
  if (s.starter) {
    s.after = listOf<PlannedProduct>(3, drawAnyProduct);
  }
  // Codes in list order, unique on the machine.
  size_t index = 0;
  auto finish = [&index](PlannedProduct& p) {
    p.product.code = productCode(index++);
    p.product.assignmentType = kAssignmentKinds[p.assignment].value;
  };
  for (PlannedProduct& p : s.passedOver) finish(p);
  if (s.starter) finish(*s.starter);
  for (PlannedProduct& p : s.after) finish(p);

  s.productEnumeration =
      weighted<ProductEnumFailure>({{85, ProductEnumFailure::kNone},
                                    {8, ProductEnumFailure::kBeforeTheStarter},
                                    {7, ProductEnumFailure::kAfterTheStarter}});
  if (s.productEnumeration == ProductEnumFailure::kAfterTheStarter &&
      !s.starter) {
    s.productEnumeration = ProductEnumFailure::kNone;
  }
  if (s.productEnumeration != ProductEnumFailure::kNone) {
    const size_t before = s.passedOver.size();
    s.productEnumerationIndex = static_cast<DWORD>(
        s.productEnumeration == ProductEnumFailure::kBeforeTheStarter
            ? *uniform<size_t>(0, before + 1)
            : before + 1 + *uniform<size_t>(0, s.after.size() + 1));
    s.productEnumerationError =
        pick<UINT>({fake::kErrorBadConfiguration, fake::kErrorInvalidParameter,
                    fake::kErrorAccessDenied});
  }

  MsiexecPlan& m = s.msiexec;
  m.kind = weighted<size_t>({{40, kMsiSucceeds},
                             {8, kMsiRestartNeeded},
                             {20, kMsiFails},
                             {10, kMsiOutlives},
                             {8, kMsiCodeUnreadable},
                             {9, kMsiStartRefused},
                             {8, kMsiMissing}});
  m.program.runsForMilliseconds = *uniform<DWORD>(0, kWaitMilliseconds + 1);
  switch (m.kind) {
    case kMsiSucceeds:
      m.program.exitCode = pick<DWORD>({0, 1641, 1605, 1614});
      break;
    case kMsiRestartNeeded:
      m.program.exitCode = 3010;
      break;
    case kMsiFails:
      m.program.exitCode = pick<DWORD>({1603, 1618, 1602});
      break;
    case kMsiOutlives:
      m.program.runsForMilliseconds =
          *uniform<DWORD>(kWaitMilliseconds + 1, 10 * kWaitMilliseconds);
      break;
    case kMsiCodeUnreadable:
      m.program.exitCodeReadError = fake::kErrorAccessDenied;
      break;
    case kMsiStartRefused:
      m.program.startError =
          pick<DWORD>({fake::kErrorAccessDenied, fake::kErrorFileNotFound});
      break;
    default:
      break;
  }
}

void drawLibraries(Scenario& s) {
  s.windows7WithoutUpdate = chance(20);
  s.msiPlanted = chance(25);
  s.uxthemePlanted = chance(25);
  s.msiLibrary = weighted<MsiLibrary>({{88, MsiLibrary::kLoads},
                                       {6, MsiLibrary::kMissing},
                                       {6, MsiLibrary::kExportMissing}});
  if (s.msiLibrary == MsiLibrary::kMissing) {
    s.msiLoadError =
        pick<DWORD>({fake::kErrorModNotFound, fake::kErrorAccessDenied,
                     fake::kErrorBadExeFormat});
  } else if (s.msiLibrary == MsiLibrary::kExportMissing) {
    s.missingExport =
        pick<std::string>({"MsiEnumProductsA", "MsiGetProductInfoA"});
  }
}

Scenario drawScenario() {
  Scenario s;
  s.folder = *gen::weightedOneOf<Folder>(
      {{50, gen::just(folders()[0])}, {20, gen::elementOf(folders())}});
  for (size_t i = 0; i < kComponents.size(); ++i) {
    s.components.push_back(drawComponent());
  }
  drawProcesses(s);
  drawProducts(s);
  drawLibraries(s);
  s.station = weighted<size_t>({{80, kStationVisible},
                                {12, kStationHidden},
                                {4, kStationUnknown},
                                {4, kStationFlagsUnreadable}});
  if (chance(5)) s.messageBoxError = fake::kErrorAccessDenied;
  if (chance(3)) s.closeHandleError = fake::kErrorInvalidHandle;
  return s;
}

// --- The machine as a script -----------------------------------------------

// One scripting step: the C++ that a plain unit case would write, and the
// same step applied to the machine. Planting and printing both walk the one
// list, so what is printed is what ran.
struct Step {
  std::string code;
  std::function<void(fake::Machine&)> apply;
};

std::string programCode(const fake::Program& p) {
  std::ostringstream out;
  out << "[] { fake::Program p; p.exitCode = " << p.exitCode
      << "; p.runsForMilliseconds = " << p.runsForMilliseconds << ";";
  if (p.startError != 0) out << " p.startError = " << p.startError << ";";
  if (p.exitCodeReadError != 0)
    out << " p.exitCodeReadError = " << p.exitCodeReadError << ";";
  return out.str() + " return p; }()";
}

std::string processCode(const fake::Process& p) {
  std::ostringstream out;
  out << "{ fake::Process p; p.pid = " << p.pid
      << "; p.imageName = " << cpp(p.imageName) << ";";
  if (p.openError != 0) out << " p.openError = " << p.openError << ";";
  if (p.nameError != 0) out << " p.nameError = " << p.nameError << ";";
  if (p.terminateError != 0)
    out << " p.terminateError = " << p.terminateError << ";";
  if (p.exitCodeAfterTerminate != 0)
    out << " p.exitCodeAfterTerminate = " << p.exitCodeAfterTerminate << ";";
  if (p.exitCodeReadError != 0)
    out << " p.exitCodeReadError = " << p.exitCodeReadError << ";";
  return out.str() + " m.addProcess(p); }";
}

std::string productCodeText(const fake::Product& p) {
  std::ostringstream out;
  out << "{ fake::Product p; p.code = \"" << p.code
      << "\"; p.name = " << cpp(p.name)
      << "; p.assignmentType = " << cpp(p.assignmentType) << ";";
  if (p.assignmentTypeError != 0)
    out << " p.assignmentTypeError = " << p.assignmentTypeError << ";";
  if (p.nameError != 0) out << " p.nameError = " << p.nameError << ";";
  if (p.nameErrorOnceItFits != 0)
    out << " p.nameErrorOnceItFits = " << p.nameErrorOnceItFits << ";";
  return out.str() + " m.addProduct(p); }";
}

void componentSteps(const std::string& root, const std::string& name,
                    const ComponentPlan& c, std::vector<Step>& steps) {
  const std::string path = uninstallerOf(root, name);
  const std::string label =
      std::string("  // ") + kUninstallerKinds[c.kind].label;
  switch (c.kind) {
    case kAbsent:
      return;
    case kFolderWithoutIt: {
      const std::string folder = root + "\\Tovik\\" + name;
      steps.push_back({"m.addFolder(" + cpp(folder) + ");" + label,
                       [folder](fake::Machine& m) { m.addFolder(folder); }});
      return;
    }
    case kFolderNamedLikeIt:
      steps.push_back({"m.addFolder(" + cpp(path) + ");" + label,
                       [path](fake::Machine& m) { m.addFolder(path); }});
      return;
    case kUnreadableRunnable:
      steps.push_back(
          {"m.addProgram(" + cpp(path) + ", " + programCode(c.program) + ");",
           [path, c](fake::Machine& m) { m.addProgram(path, c.program); }});
      [[fallthrough]];
    case kUnreadable:
      steps.push_back({"m.addUnreadableFile(" + cpp(path) + ", " +
                           std::to_string(c.fileError) + ");" + label,
                       [path, c](fake::Machine& m) {
                         m.addUnreadableFile(path, c.fileError);
                       }});
      return;
    case kNotAProgram:
      steps.push_back({"m.addFile(" + cpp(path) + ");" + label,
                       [path](fake::Machine& m) { m.addFile(path); }});
      return;
    default:
      steps.push_back(
          {"m.addUninstaller(" + cpp(path) + ", " + programCode(c.program) +
               ");" + label,
           [path, c](fake::Machine& m) { m.addUninstaller(path, c.program); }});
      return;
  }
}

std::vector<Step> scriptOf(const Scenario& s) {
  std::vector<Step> steps;
  const Folder& f = s.folder;
  steps.push_back({"// " + f.label, [](fake::Machine&) {}});
  steps.push_back({"m.setAnsiCodePage(" + std::to_string(f.codePage) + ");",
                   [f](fake::Machine& m) { m.setAnsiCodePage(f.codePage); }});
  steps.push_back({"m.setRoamingFolder(" + cppExpression(f.wide) + ");",
                   [f](fake::Machine& m) { m.setRoamingFolder(f.wide); }});
  if (f.lookupResult != S_OK) {
    steps.push_back(
        {"m.failRoamingFolderLookup(static_cast<HRESULT>(" +
             std::to_string(static_cast<uint32_t>(f.lookupResult)) + "u));",
         [f](fake::Machine& m) { m.failRoamingFolderLookup(f.lookupResult); }});
  }
  if (f.failingConversionCall != 0) {
    steps.push_back({"m.failConversion(" +
                         std::to_string(f.failingConversionCall) + ", 122);",
                     [f](fake::Machine& m) {
                       m.failConversion(f.failingConversionCall,
                                        fake::kErrorInsufficientBuffer);
                     }});
  }
  if (f.shortPath) {
    const std::wstring shortPath = *f.shortPath;
    const std::wstring longPath = f.wide;
    steps.push_back({"m.setShortPath(" + cppExpression(longPath) + ", " +
                         cppExpression(shortPath) + ");",
                     [longPath, shortPath](fake::Machine& m) {
                       m.setShortPath(longPath, shortPath);
                     }});
  }
  if (f.shortPathError != 0) {
    const DWORD error = f.shortPathError;
    steps.push_back(
        {"m.failShortPathLookup(" + std::to_string(error) + ");",
         [error](fake::Machine& m) { m.failShortPathLookup(error); }});
  }
  if (f.volumeWithoutShortNames) {
    steps.push_back({"m.withoutShortNames();",
                     [](fake::Machine& m) { m.withoutShortNames(); }});
  }
  // Uninstallers wherever a lossy or empty folder path leads: traps the run
  // must never touch.
  std::vector<std::string> roots = f.lossyForms;
  if (f.narrow) roots.push_back(*f.narrow);
  for (const std::string& root : roots) {
    for (size_t i = 0; i < kComponents.size(); ++i) {
      componentSteps(root, kComponents[i], s.components[i], steps);
    }
  }
  for (const std::string& name : kComponents) {
    const std::string trap = uninstallerOf("", name);
    steps.push_back({"m.addUninstaller(" + cpp(trap) + ");  // a trap",
                     [trap](fake::Machine& m) { m.addUninstaller(trap); }});
  }

  // Processes; a run of unrelated ones as one loop.
  for (size_t i = 0; i < s.processes.size();) {
    const PlannedProcess& planned = s.processes[i];
    if (planned.kind != ProcessKind::kFiller || planned.process.pid == 0) {
      const fake::Process p = planned.process;
      steps.push_back(
          {processCode(p) +
               (planned.label.empty() ? "" : "  // " + planned.label),
           [p](fake::Machine& m) { m.addProcess(p); }});
      ++i;
      continue;
    }
    size_t end = i;
    while (end < s.processes.size() &&
           s.processes[end].kind == ProcessKind::kFiller &&
           s.processes[end].process.pid != 0) {
      ++end;
    }
    const DWORD first = s.processes[i].process.pid;
    const DWORD last = s.processes[end - 1].process.pid;
    steps.push_back(
        {"for (DWORD pid = " + std::to_string(first) +
             "; pid <= " + std::to_string(last) +
             "; pid += 4) { fake::Process p; p.pid = pid; p.imageName = " +
             cpp(kFillerImage) + "; m.addProcess(p); }  // " +
             std::to_string(end - i) + " others",
         [first, last](fake::Machine& m) {
           for (DWORD pid = first; pid <= last; pid += 4) {
             fake::Process p;
             p.pid = pid;
             p.imageName = kFillerImage;
             m.addProcess(p);
           }
         }});
    i = end;
  }
  if (s.enumeration != EnumerationFailure::kNone) {
    const int call = s.enumeration == EnumerationFailure::kFirstCall ? 1 : 2;
    const DWORD error = s.enumerationError;
    steps.push_back({"m.failProcessEnumeration(" + std::to_string(error) +
                         ", " + std::to_string(call) + ");",
                     [error, call](fake::Machine& m) {
                       m.failProcessEnumeration(error, call);
                     }});
  }

  for (const PlannedProduct& planned : s.products()) {
    const fake::Product p = planned.product;
    steps.push_back({productCodeText(p) + "  // " + planned.label,
                     [p](fake::Machine& m) { m.addProduct(p); }});
  }
  if (s.productEnumeration != ProductEnumFailure::kNone) {
    const DWORD index = s.productEnumerationIndex;
    const UINT error = s.productEnumerationError;
    steps.push_back({"m.failProductEnumeration(" + std::to_string(index) +
                         ", " + std::to_string(error) + ");",
                     [index, error](fake::Machine& m) {
                       m.failProductEnumeration(index, error);
                     }});
  }
  const std::string msiexecLabel =
      std::string("  // ") + kMsiexecKinds[s.msiexec.kind].label;
  if (s.msiexec.kind == kMsiMissing) {
    steps.push_back({msiexecLabel.substr(2), [](fake::Machine&) {}});
  } else {
    const fake::Program p = s.msiexec.program;
    steps.push_back({"m.addProgram(" + cpp(kMsiexec) + ", " + programCode(p) +
                         ");" + msiexecLabel,
                     [p](fake::Machine& m) { m.addProgram(kMsiexec, p); }});
  }

  if (s.windows7WithoutUpdate) {
    steps.push_back({"m.withoutLibrarySearchFlags();",
                     [](fake::Machine& m) { m.withoutLibrarySearchFlags(); }});
  }
  for (const auto& [planted, name] :
       {std::pair{s.msiPlanted, "msi.dll"},
        std::pair{s.uxthemePlanted, "uxtheme.dll"}}) {
    if (planted) {
      const std::string file = name;
      steps.push_back(
          {"m.plantLibraryBesideProgram(" + cpp(file) + ");",
           [file](fake::Machine& m) { m.plantLibraryBesideProgram(file); }});
    }
  }
  if (s.msiLibrary == MsiLibrary::kMissing) {
    const DWORD error = s.msiLoadError;
    steps.push_back(
        {"m.failLibraryLoad(\"msi.dll\", " + std::to_string(error) + ");",
         [error](fake::Machine& m) { m.failLibraryLoad("msi.dll", error); }});
  } else if (s.msiLibrary == MsiLibrary::kExportMissing) {
    const std::string name = s.missingExport;
    steps.push_back({"m.removeExport(" + cpp(name) + ");",
                     [name](fake::Machine& m) { m.removeExport(name); }});
  }
  if (s.messageBoxError != 0) {
    const DWORD error = s.messageBoxError;
    steps.push_back({"m.failMessageBox(" + std::to_string(error) + ");",
                     [error](fake::Machine& m) { m.failMessageBox(error); }});
  }
  if (s.closeHandleError != 0) {
    const DWORD error = s.closeHandleError;
    steps.push_back({"m.failCloseHandle(" + std::to_string(error) + ");",
                     [error](fake::Machine& m) { m.failCloseHandle(error); }});
  }
  if (s.station != kStationVisible) {
    steps.push_back({"m.hideWindowStation();  // " +
                         std::string(kStationKinds[s.station].label),
                     [](fake::Machine& m) { m.hideWindowStation(); }});
  }
  if (s.station == kStationUnknown) {
    steps.push_back({"m.failProcessWindowStation(5);", [](fake::Machine& m) {
                       m.failProcessWindowStation(fake::kErrorAccessDenied);
                     }});
  }
  if (s.station == kStationFlagsUnreadable) {
    steps.push_back({"m.failUserObjectInformation(5);", [](fake::Machine& m) {
                       m.failUserObjectInformation(fake::kErrorAccessDenied);
                     }});
  }
  return steps;
}

// RapidCheck prints a failing machine with this: the script that plants it.
void showValue(const Scenario& s, std::ostream& os) {
  os << "\nfake::Machine& m = machine();\n";
  for (const Step& step : scriptOf(s)) {
    os << step.code << "\n";
  }
}

// --- What must happen ------------------------------------------------------

// One uninstaller the run must start, or try to.
struct Attempt {
  std::string name;  // as the summary shows it
  std::string application;
  std::string commandLine;
  bool completed = false;
};

std::vector<Attempt> expectedAttempts(const Scenario& s) {
  std::vector<Attempt> attempts;
  if (s.folder.usable) {
    for (size_t i = 0; i < kComponents.size(); ++i) {
      const UninstallerKind& kind = kUninstallerKinds[s.components[i].kind];
      if (kind.started) {
        attempts.push_back({kComponents[i],
                            uninstallerOf(*s.folder.narrow, kComponents[i]),
                            " /S", kind.completed});
      }
    }
  }
  if (s.starterRemoved()) {
    attempts.push_back({kStarter, kMsiexec,
                        " /q /x " + s.starter->product.code + " /norestart",
                        kMsiexecKinds[s.msiexec.kind].completed});
  }
  return attempts;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

std::string startText(const fake::CreateProcessCall& call) {
  return "(" + (call.applicationName ? cpp(*call.applicationName) : "null") +
         ", " + (call.commandLine ? cpp(*call.commandLine) : "null") + ")";
}

void checkStarts(const std::vector<Attempt>& expected, const fake::Machine& m,
                 std::vector<std::string>& faults) {
  std::string want;
  std::string got;
  bool same = expected.size() == m.createProcessCalls.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    want += "\n      (" + cpp(expected[i].application) + ", " +
            cpp(expected[i].commandLine) + ")";
    same = same && i < m.createProcessCalls.size() &&
           m.createProcessCalls[i].applicationName == expected[i].application &&
           m.createProcessCalls[i].commandLine == expected[i].commandLine;
  }
  for (const fake::CreateProcessCall& call : m.createProcessCalls) {
    got += "\n      " + startText(call);
  }
  if (!same) {
    faults.push_back("started programs differ; due, in order:" + want +
                     "\n    started:" + got);
  }
}

// Exactly the product processes in reach are terminated, once each, with
// exit code 0; a failed process list, when planted, may end the sweep.
void checkSweep(const Scenario& s, const fake::Machine& m,
                const std::string& out, std::vector<std::string>& faults) {
  std::map<HANDLE, DWORD> opened;
  for (const fake::OpenProcessCall& call : m.openProcessCalls) {
    if (call.result != nullptr) opened[call.result] = call.pid;
  }
  std::map<DWORD, int> terminations;
  for (const fake::TerminateCall& call : m.terminateCalls) {
    const auto found = opened.find(call.handle);
    if (found == opened.end()) {
      faults.push_back("TerminateProcess on a handle the sweep never opened");
      continue;
    }
    ++terminations[found->second];
    if (call.exitCode != 0) {
      faults.push_back("process " + std::to_string(found->second) +
                       " terminated with exit code " +
                       std::to_string(call.exitCode));
    }
  }
  std::set<DWORD> due;
  for (const PlannedProcess& planned : s.processes) {
    if (planned.kind == ProcessKind::kProduct) due.insert(planned.process.pid);
  }
  const std::string failedLine =
      "EnumProcesses() failed. Error:" + std::to_string(s.enumerationError) +
      "\n";
  const bool listFailed = countOf(out, "EnumProcesses() failed.") != 0;
  if (listFailed) {
    // The first call always happens; a later one only when the program
    // grows its buffer, which is its own business.
    if (s.enumeration == EnumerationFailure::kNone ||
        countOf(out, failedLine) != 1) {
      faults.push_back("the console reports a failed process list; planted: " +
                       (s.enumeration == EnumerationFailure::kNone
                            ? std::string("none")
                            : failedLine));
    }
    due.clear();
  } else if (s.enumeration == EnumerationFailure::kFirstCall) {
    faults.push_back("the first K32EnumProcesses failed, unreported");
    due.clear();
  }
  for (DWORD pid : due) {
    if (terminations.count(pid) == 0) {
      faults.push_back("product process " + std::to_string(pid) +
                       " in reach was not terminated");
    }
  }
  for (const auto& [pid, times] : terminations) {
    if (due.count(pid) == 0) {
      faults.push_back("process " + std::to_string(pid) +
                       " was terminated but is no product process in reach");
    } else if (times > 1) {
      faults.push_back("process " + std::to_string(pid) + " terminated " +
                       std::to_string(times) + " times");
    }
  }
}

// What the summary must say, built from what the generator planted: who
// was tried and how that went, which phases could not look, and whether
// msiexec asked for a restart.
struct DueSummary {
  std::vector<std::string> completed;
  std::vector<std::string> notCompleted;
  bool componentsNotLookedFor = false;
  bool starterNotLookedFor = false;
  bool restartRequired = false;
};

DueSummary dueSummary(const Scenario& s, const std::vector<Attempt>& tried) {
  DueSummary due;
  for (const Attempt& a : tried) {
    (a.completed ? due.completed : due.notCompleted).push_back(a.name);
  }
  due.componentsNotLookedFor = !s.folder.usable;
  due.starterNotLookedFor =
      !s.productPhaseRuns() ||
      s.productEnumeration == ProductEnumFailure::kBeforeTheStarter;
  due.restartRequired =
      s.starterRemoved() && s.msiexec.kind == kMsiRestartNeeded;
  return due;
}

std::string summaryText(const DueSummary& due) {
  std::vector<std::string> lines;
  auto names = [](const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& name : list) text += name + ", ";
    return text;
  };
  if (!due.completed.empty())
    lines.push_back("Uninstallation of " + names(due.completed) + "completed");
  if (!due.notCompleted.empty())
    lines.push_back("Uninstallation of " + names(due.notCompleted) +
                    "did not complete");
  if (due.componentsNotLookedFor)
    lines.push_back("Per-user Tovik Components could not be looked for");
  if (due.starterNotLookedFor)
    lines.push_back(std::string(kStarter) + " could not be looked for");
  if (due.restartRequired)
    lines.push_back("Restart Windows to finish the uninstallation");
  std::string text;
  for (const std::string& line : lines)
    text += (text.empty() ? "" : "\n") + line;
  return text;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Each attempt's own closing line once; then the box, exactly, or where
// nobody can see it, its text on the console and no box.
void checkSummary(const Scenario& s, const std::vector<Attempt>& tried,
                  const fake::Machine& m, const std::string& out,
                  std::vector<std::string>& faults) {
  for (const Attempt& a : tried) {
    const std::string line =
        "Uninstallation of " + a.name +
        (a.completed ? " completed\n" : " did not complete\n");
    if (countOf(out, line) != 1) {
      faults.push_back("the console does not say " + cpp(line) + " once");
    }
  }
  const std::string summary = summaryText(dueSummary(s, tried));
  const std::string boxText = summary.empty() ? kNothingFound : summary;
  const std::string noDesktop = "No interactive desktop: message box not shown";
  const bool boxShown = kStationKinds[s.station].boxShown;
  std::string ending = summary.empty() ? "" : "\n" + summary + "\n";
  if (!boxShown) {
    ending = "\n" + boxText + "\n" + noDesktop + "\n";
  }
  if (summary.empty() && boxShown &&
      countOf(out, "Uninstallation of") + countOf(out, "could not be looked") !=
          0) {
    faults.push_back("nothing was tried, yet the console speaks of it");
  }
  if (!endsWith(out, "\n" + ending) ||
      countOf(out, noDesktop) != (boxShown ? 0u : 1u)) {
    faults.push_back("the console does not end with an empty line and " +
                     cpp(ending));
  }
  if (!boxShown) {
    if (!m.messageBoxes.empty()) {
      faults.push_back("a box was shown on a window station nobody sees");
    }
    return;
  }
  if (m.messageBoxes.size() != 1) {
    faults.push_back(std::to_string(m.messageBoxes.size()) +
                     " message boxes shown; one was due");
    return;
  }
  const fake::MessageBoxCall& box = m.messageBoxes[0];
  if (box.caption != "Tovik" || box.type != MB_OK || box.owner != nullptr) {
    faults.push_back("the box has caption " + cpp(box.caption) + ", type " +
                     std::to_string(box.type) +
                     "; due: \"Tovik\", MB_OK, no owner");
  }
  if (box.text != boxText) {
    faults.push_back("the box says " + cpp(box.text) +
                     "; due: " + cpp(boxText));
  }
}

void checkLibraries(const Scenario& s, const fake::Machine& m,
                    const std::string& out, std::vector<std::string>& faults) {
  for (const std::string& planted : m.plantedLibrariesLoaded()) {
    const bool allowed = planted == "uxtheme.dll" && s.windows7WithoutUpdate;
    if (!allowed) {
      faults.push_back("the planted " + planted + " was loaded");
    }
  }
  std::optional<DWORD> loadError;
  if (s.msiLibrary == MsiLibrary::kMissing) loadError = s.msiLoadError;
  if (s.msiLibrary == MsiLibrary::kExportMissing)
    loadError = fake::kErrorProcNotFound;
  const std::string prefix = "Windows Installer (msi.dll) could not be loaded.";
  if (loadError) {
    const std::string line =
        prefix + " Error:" + std::to_string(*loadError) + "\n";
    if (countOf(out, line) != 1) {
      faults.push_back("the console does not say " + cpp(line) + " once");
    }
    if (!m.enumProductsCalls.empty() || !m.productInfoCalls.empty()) {
      faults.push_back("the product phase ran without msi.dll");
    }
  } else if (countOf(out, prefix) != 0) {
    faults.push_back("msi.dll loads, yet the console says it could not");
  }
}

void checkProductLines(const Scenario& s, const std::string& out,
                       std::vector<std::string>& faults) {
  const size_t installed = countOf(out, "\tInstalled ");
  if (s.starterRemoved()) {
    const std::string line =
        kAssignmentKinds[s.starter->assignment].installedLine;
    if (installed != 1 || countOf(out, line) != 1) {
      faults.push_back("the console does not say " + cpp(line) +
                       " once for AssignmentType " +
                       cpp(s.starter->product.assignmentType));
    }
  } else if (installed != 0) {
    faults.push_back("the console describes a product though none is due");
  }
}

struct RunResult {
  int exitCode = -1;
  std::string out;
};

std::vector<std::string> check(const Scenario& s, const fake::Machine& m,
                               const RunResult& run) {
  std::vector<std::string> faults;
  if (run.exitCode != 0) {
    faults.push_back("exit code " + std::to_string(run.exitCode));
  }
  const std::vector<Attempt> expected = expectedAttempts(s);
  checkStarts(expected, m, faults);
  checkSweep(s, m, run.out, faults);
  checkSummary(s, expected, m, run.out, faults);
  checkLibraries(s, m, run.out, faults);
  checkProductLines(s, run.out, faults);
  for (const std::string& fault : m.handleFaults()) faults.push_back(fault);
  for (const std::string& fault : m.allocationFaults()) faults.push_back(fault);
  return faults;
}

// --- Kinds of machine that must turn up ------------------------------------

// Every label the generator gives, and a few shapes of the whole run. A
// change to the draw that loses one fails the test rather than leaving the
// property quietly weaker.
std::vector<std::string> kindsThatMustAppear() {
  std::vector<std::string> kinds;
  for (const Folder& f : folders()) kinds.push_back(f.label);
  for (const UninstallerKind& k : kUninstallerKinds) kinds.push_back(k.label);
  for (const MsiexecKind& k : kMsiexecKinds) kinds.push_back(k.label);
  for (const StationKind& k : kStationKinds) kinds.push_back(k.label);
  kinds.insert(kinds.end(),
               {"nothing-found box",
                "summary: per-user components could not be looked for",
                "summary: the Starter could not be looked for",
                "summary: a restart is needed",
                "summary with every line a run can hold at once",
                "nothing found, on the console of a hidden station",
                "a summary, on the console of a hidden station",
                "summary with both lines",
                "only a did-not-complete line",
                "product process in a device folder",
                "product process with a bare name",
                "product process with a name over 260 bytes",
                "product process beyond the first 1024 ids",
                "product process that cannot be opened",
                "product process whose name cannot be read",
                "near miss: upper case",
                "near miss: lower case",
                "near miss: extra extension",
                "near miss: without .exe",
                "misleading: product as a folder",
                "misleading: empty base name",
                "misleading: forward slashes",
                "the idle process",
                "process list fails on the first call",
                "process list fails on the second call, over 1024 processes",
                "product: near-miss name (trailing blank)",
                "product: near-miss name (a suffix)",
                "product: overlong other name",
                "product: another product",
                "product: exact name, AssignmentType query fails",
                "product: exact name, ProductName query fails",
                "product: exact name, gone before its name could be read",
                "starter removed after a product whose query failed",
                "starter removed after an overlong name",
                "starter removed, per-machine",
                "second exact product left installed",
                "starter hidden behind a failed product list",
                "product list fails after the starter",
                "msi.dll missing",
                "msi.dll without MsiEnumProductsA",
                "msi.dll without MsiGetProductInfoA",
                "Windows 7 without the search-flags update",
                "msi.dll planted beside the program",
                "uxtheme.dll planted beside the program",
                "uxtheme.dll planted on Windows 7 without the update",
                "message box fails",
                "CloseHandle fails"});
  return kinds;
}

std::vector<std::string> kindsOf(const Scenario& s) {
  std::vector<std::string> kinds = {s.folder.label};
  if (s.folder.usable) {
    for (const ComponentPlan& c : s.components) {
      kinds.push_back(kUninstallerKinds[c.kind].label);
    }
  }
  const std::vector<Attempt> attempts = expectedAttempts(s);
  size_t completed = 0;
  for (const Attempt& a : attempts) completed += a.completed ? 1 : 0;
  const DueSummary due = dueSummary(s, attempts);
  const bool nothingFound = summaryText(due).empty();
  if (nothingFound) kinds.push_back("nothing-found box");
  if (due.componentsNotLookedFor)
    kinds.push_back("summary: per-user components could not be looked for");
  if (due.starterNotLookedFor)
    kinds.push_back("summary: the Starter could not be looked for");
  if (due.restartRequired) kinds.push_back("summary: a restart is needed");
  // Lines 1 to 3 and the restart can stand together; the not-completed
  // line then needs a failed component, and the components could be looked
  // for, so four lines are the most a run can show.
  if (!due.completed.empty() && due.componentsNotLookedFor &&
      due.restartRequired)
    kinds.push_back("summary with every line a run can hold at once");
  kinds.push_back(kStationKinds[s.station].label);
  if (!kStationKinds[s.station].boxShown) {
    kinds.push_back(nothingFound
                        ? "nothing found, on the console of a hidden station"
                        : "a summary, on the console of a hidden station");
  }
  if (completed > 0 && completed < attempts.size())
    kinds.push_back("summary with both lines");
  if (!attempts.empty() && completed == 0)
    kinds.push_back("only a did-not-complete line");

  for (size_t i = 0; i < s.processes.size(); ++i) {
    const PlannedProcess& p = s.processes[i];
    if (!p.label.empty()) kinds.push_back(p.label);
    if (p.kind == ProcessKind::kProduct && i >= 1024)
      kinds.push_back("product process beyond the first 1024 ids");
  }
  if (s.enumeration == EnumerationFailure::kFirstCall)
    kinds.push_back("process list fails on the first call");
  if (s.enumeration == EnumerationFailure::kSecondCall &&
      s.processes.size() > 1024)
    kinds.push_back(
        "process list fails on the second call, over 1024 processes");

  for (const PlannedProduct& p : s.products()) kinds.push_back(p.label);
  if (s.starterRemoved()) {
    kinds.push_back(kMsiexecKinds[s.msiexec.kind].label);
    for (const PlannedProduct& p : s.passedOver) {
      if (p.label.rfind("product: exact name,", 0) == 0)
        kinds.push_back("starter removed after a product whose query failed");
      if (p.product.name.size() > 259)
        kinds.push_back("starter removed after an overlong name");
    }
    if (s.starter->assignment == 1)
      kinds.push_back("starter removed, per-machine");
    for (const PlannedProduct& p : s.after) {
      if (p.label == "product: second exact product")
        kinds.push_back("second exact product left installed");
    }
    if (s.productEnumeration == ProductEnumFailure::kAfterTheStarter)
      kinds.push_back("product list fails after the starter");
  } else if (s.starter && s.productPhaseRuns()) {
    kinds.push_back("starter hidden behind a failed product list");
  }

  if (s.msiLibrary == MsiLibrary::kMissing) kinds.push_back("msi.dll missing");
  if (s.msiLibrary == MsiLibrary::kExportMissing)
    kinds.push_back("msi.dll without " + s.missingExport);
  if (s.windows7WithoutUpdate)
    kinds.push_back("Windows 7 without the search-flags update");
  if (s.msiPlanted) kinds.push_back("msi.dll planted beside the program");
  if (s.uxthemePlanted) {
    kinds.push_back("uxtheme.dll planted beside the program");
    if (s.windows7WithoutUpdate)
      kinds.push_back("uxtheme.dll planted on Windows 7 without the update");
  }
  if (s.messageBoxError != 0) kinds.push_back("message box fails");
  if (s.closeHandleError != 0) kinds.push_back("CloseHandle fails");
  return kinds;
}

// --- The test --------------------------------------------------------------

class RandomMachinesTest : public MachineTest {
 protected:
  static RunResult runOn(const Scenario& s) {
    resetRun();
    for (const Step& step : scriptOf(s)) step.apply(machine());
    RunResult run;
    run.out = captureStdout([&run] { run.exitCode = runCleanup(); });
    return run;
  }
};

TEST_F(RandomMachinesTest, TheRunKeepsItsPromisesOnEveryMachine) {
  // The fixed seed and count, unless RC_PARAMS says otherwise.
  rc::detail::Configuration defaults;
  defaults.testParams.seed = kDefaultSeed;
  defaults.testParams.maxSuccess = kDefaultMachineCount;
  const char* fromEnvironment = std::getenv("RC_PARAMS");
  const rc::detail::Configuration config = rc::detail::configFromString(
      fromEnvironment != nullptr ? fromEnvironment : "", defaults);
  const rc::detail::TestParams& params = config.testParams;
  // RapidCheck reads its own settings once, from the same variable; this
  // way what it prints and replays is the run that happens.
  setenv("RC_PARAMS", rc::detail::configToMinimalString(config).c_str(), 0);
  std::cout << "Random machines: seed " << params.seed << ", "
            << params.maxSuccess << " machines\n";

  rc::detail::TestMetadata metadata;
  metadata.id = "RandomMachinesTest/TheRunKeepsItsPromisesOnEveryMachine";
  metadata.description = metadata.id;
  std::map<std::string, int> seen;
  const auto result = rc::detail::checkTestable(
      [&seen] {
        const Scenario s = *gen::exec(drawScenario);
        const RunResult run = runOn(s);
        const std::vector<std::string> faults = check(s, machine(), run);
        for (const std::string& kind : kindsOf(s)) ++seen[kind];
        if (!faults.empty()) {
          std::string text = "what went wrong:\n";
          for (const std::string& fault : faults) text += "  - " + fault + "\n";
          text += "console output:\n" + run.out;
          RC_FAIL(text);
        }
      },
      metadata, params);
  // Leave the fixture's own end-of-test checks a clean machine.
  fake::resetMachine();

  if (!result.is<rc::detail::SuccessResult>()) {
    std::ostringstream message;
    rc::detail::printResultMessage(result, message);
    FAIL() << message.str();
  }
  // Kinds are tallied over the whole default draw; a shorter draw chosen by
  // hand need not meet them all.
  if (params.maxSuccess < kDefaultMachineCount) return;
  std::pair<int, std::string> rarest{params.maxSuccess + 1, ""};
  for (const std::string& kind : kindsThatMustAppear()) {
    EXPECT_GT(seen[kind], 0) << "the draw never made a machine with: " << kind;
    rarest = std::min(rarest, std::pair{seen[kind], kind});
  }
  std::cout << "Rarest kind of machine: " << rarest.second << " ("
            << rarest.first << " machines)\n";
}

}  // namespace

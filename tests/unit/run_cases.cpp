#include "run_cases.h"

#include <cctype>
#include <utility>

namespace cases {

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

std::string msiexecArguments(const std::string& productCode) {
  return " /q /x " + productCode + " /norestart";
}

std::string componentFolderOf(const std::string& roaming,
                              const std::string& component) {
  return roaming + "\\Tovik\\" + component;
}

std::string uninstallerOf(const std::string& roaming,
                          const std::string& component) {
  return componentFolderOf(roaming, component) + "\\uninstall.exe";
}

// --- Lines -----------------------------------------------------------------

namespace {

// As the program's printf shows a DWORD or HRESULT: a signed int.
std::string asInt(DWORD value) {
  return std::to_string(static_cast<int>(value));
}

}  // namespace

std::string processListFailedLine(DWORD error) {
  return "EnumProcesses() failed. Error:" + asInt(error) + "\n";
}

const char kNameUnreadableLine[] = "Name was empty, skipping....\n";

std::string terminatingLines(const std::string& baseName, DWORD pid,
                             bool accepted, DWORD exitCodeShown) {
  return "Terminating " + baseName + "(" + asInt(pid) +
         ")\n"
         "TerminateProcess result:" +
         (accepted ? "1" : "0") + " and exitcode:0," + asInt(exitCodeShown) +
         " \n";
}

std::string folderLookupFailedLine(HRESULT result) {
  return "SHGetKnownFolderPath() failed for "
         "FOLDERID_RoamingAppData(%APPDATA%). Error:" +
         std::to_string(static_cast<int>(result)) + ".\n";
}

const char kFolderUnrepresentableLine[] =
    "FOLDERID_RoamingAppData(%APPDATA%) path cannot be represented in the "
    "ANSI code page, skipping per-user components.\n";

std::string missingLine(const std::string& uninstallerPath) {
  return "UninstallFile:" + uninstallerPath + " does not exist\n";
}

std::string uninstallingLine(const std::string& name) {
  return "Un-installing " + name + "...\n";
}

std::string launchLine(const std::string& path, const std::string& arguments) {
  return " Launching " + path + " " + arguments + "\n";
}

std::string startFailedLine(const std::string& path,
                            const std::string& arguments, DWORD error) {
  return "CreateProcess(" + path + "  " + arguments + " ) failed " +
         asInt(error) + "\n";
}

std::string returnCodeLine(DWORD exitCode) {
  return "launchAndWait() got a return code:" + asInt(exitCode) + "\n";
}

std::string exitCodeUnreadableLine(DWORD error) {
  return "launchAndWait() could not read the return code. Error:" +
         asInt(error) + "\n";
}

std::string closingLine(const std::string& name, bool completed) {
  return "Uninstallation of " + name +
         (completed ? " completed\n" : " did not complete\n");
}

std::string msiUnavailableLine(DWORD error) {
  return "Windows Installer (msi.dll) could not be loaded. Error:" +
         asInt(error) + "\n";
}

std::string starterFoundLines(const std::string& productCode,
                              const std::string& installedLine) {
  return std::string(" Product ") + kStarter + ":\n\t" + productCode + "\n" +
         installedLine + uninstallingLine(kStarter) +
         launchLine(kMsiexec, msiexecArguments(productCode));
}

const char kNoDesktopLine[] = "No interactive desktop: message box not shown\n";

// --- The summary -----------------------------------------------------------

std::string summaryText(const Summary& summary) {
  auto names = [](const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& name : list) text += name + ", ";
    return text;
  };
  std::vector<std::string> lines;
  if (!summary.completed.empty()) {
    lines.push_back("Uninstallation of " + names(summary.completed) +
                    "completed");
  }
  if (!summary.notCompleted.empty()) {
    lines.push_back("Uninstallation of " + names(summary.notCompleted) +
                    "did not complete");
  }
  if (summary.componentsNotLookedFor) {
    lines.emplace_back("Per-user Tovik Components could not be looked for");
  }
  if (summary.starterNotLookedFor) {
    lines.push_back(std::string(kStarter) + " could not be looked for");
  }
  if (summary.restartRequired) {
    lines.emplace_back("Restart Windows to finish the uninstallation");
  }
  std::string text;
  for (const std::string& line : lines) {
    text += (text.empty() ? "" : "\n") + line;
  }
  return text;
}

std::string boxText(const Summary& summary) {
  const std::string text = summaryText(summary);
  return text.empty() ? kNothingFound : text;
}

std::string consoleEnding(const Summary& summary, bool boxShown) {
  const std::string text = summaryText(summary);
  std::string ending = text.empty() ? "" : "\n" + text + "\n";
  if (!boxShown) {
    if (text.empty()) ending += "\n" + std::string(kNothingFound) + "\n";
    ending += kNoDesktopLine;
  }
  return ending;
}

// --- Roaming folders -------------------------------------------------------

namespace {

const std::wstring kPlainWide = L"C:\\Users\\user1\\AppData\\Roaming";
const std::wstring kIvan =
    L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\Roaming";
const std::wstring kRene = L"C:\\Users\\Ren\u00e9\\AppData\\Roaming";
const std::wstring kIvanShortWide = L"C:\\Users\\____~1\\AppData\\Roaming";
const char kIvanShort[] = "C:\\Users\\____~1\\AppData\\Roaming";
const char kIvanLossy[] = "C:\\Users\\????\\AppData\\Roaming";

RoamingFolder reached(const char* name, UINT codePage, std::wstring path,
                      std::string narrow) {
  return {name, codePage, std::move(path),   S_OK, 0, std::nullopt,
          0,    false,    std::move(narrow), {}};
}

RoamingFolder notReached(const char* name, UINT codePage, std::wstring path,
                         std::vector<std::string> traps) {
  return {name,  codePage,     std::move(path), S_OK, 0, std::nullopt, 0,
          false, std::nullopt, std::move(traps)};
}

RoamingFolder with(RoamingFolder row, void (*change)(RoamingFolder&)) {
  change(row);
  return row;
}

std::vector<RoamingFolder> roamingFolders() {
  return {
      reached("Plain", fake::kCodePageWestern, kPlainWide, kDefaultRoaming),
      reached("LatinOneUnderWestern", fake::kCodePageWestern, kRene,
              "C:\\Users\\Ren\xe9\\AppData\\Roaming"),
      // Not Latin-1: code page 1252 spells the right single quote as 0x92,
      // so the long path is reached as it is.
      with(reached("ApostropheUnderWestern", fake::kCodePageWestern,
                   L"C:\\Users\\O\u2019Brien\\AppData\\Roaming",
                   "C:\\Users\\O\x92"
                   "Brien\\AppData\\Roaming"),
           [](RoamingFolder& r) {
             r.shortPath = L"C:\\Users\\OBRIEN~1\\AppData\\Roaming";
             r.traps = {"C:\\Users\\OBRIEN~1\\AppData\\Roaming",
                        "C:\\Users\\O?Brien\\AppData\\Roaming"};
           }),
      reached("CyrillicUnderCyrillic", fake::kCodePageCyrillic, kIvan,
              "C:\\Users\\\xc8\xe2\xe0\xed\\AppData\\Roaming"),
      reached("CyrillicUnderUtf8", fake::kCodePageUtf8, kIvan,
              "C:\\Users\\\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\\AppData\\"
              "Roaming"),
      reached("PathOver1024Bytes", fake::kCodePageWestern,
              L"C:\\Users\\" + std::wstring(1100, L'u') + L"\\AppData\\Roaming",
              "C:\\Users\\" + std::string(1100, 'u') + "\\AppData\\Roaming"),
      // Phases that never looked must not pass for having found nothing.
      with(
          notReached("LookupFails", fake::kCodePageWestern, kPlainWide,
                     {kDefaultRoaming}),
          [](RoamingFolder& r) { r.lookupResult = fake::kPathNotFoundResult; }),
      with(notReached("SizeQueryFails", fake::kCodePageWestern, kPlainWide,
                      {kDefaultRoaming}),
           [](RoamingFolder& r) { r.failingConversionCall = 1; }),
      with(notReached("ConversionFails", fake::kCodePageWestern, kPlainWide,
                      {kDefaultRoaming}),
           [](RoamingFolder& r) { r.failingConversionCall = 2; }),
      notReached("CyrillicUnderWestern", fake::kCodePageWestern, kIvan,
                 {kIvanLossy}),
      // Windows would quietly write L for it unless told not to.
      notReached("LetterWithALookAlikeUnderWestern", fake::kCodePageWestern,
                 L"C:\\Users\\\u0141ukasz\\AppData\\Roaming",
                 {"C:\\Users\\Lukasz\\AppData\\Roaming",
                  "C:\\Users\\?ukasz\\AppData\\Roaming"}),
      notReached("AccentedLatinUnderCyrillic", fake::kCodePageCyrillic, kRene,
                 {"C:\\Users\\Rene\\AppData\\Roaming",
                  "C:\\Users\\Ren?\\AppData\\Roaming"}),
      // A user name the code page cannot spell is reached through the
      // folder's 8.3 name, which the narrow calls can; or, where that name
      // cannot stand in for it either, not at all.
      with(reached("CyrillicReachedByItsShortName", fake::kCodePageWestern,
                   kIvan, kIvanShort),
           [](RoamingFolder& r) {
             r.shortPath = kIvanShortWide;
             r.traps = {kIvanLossy};
           }),
      with(reached("ChineseLastFolderReachedByItsShortName",
                   fake::kCodePageWestern, L"D:\\Profiles\\\u5f20\u4f1f",
                   "D:\\Profiles\\3F2A~1"),
           [](RoamingFolder& r) {
             r.shortPath = L"D:\\Profiles\\3F2A~1";
             r.traps = {"D:\\Profiles\\??"};
           }),
      with(notReached("ShortNameLookupFails", fake::kCodePageWestern, kIvan,
                      {kIvanShort}),
           [](RoamingFolder& r) {
             r.shortPath = kIvanShortWide;
             r.shortPathError = fake::kErrorAccessDenied;
           }),
      // The volume hands the long path back unchanged.
      with(notReached("VolumeWithoutShortNames", fake::kCodePageWestern, kIvan,
                      {kIvanLossy, kIvanShort}),
           [](RoamingFolder& r) {
             r.shortPath = kIvanShortWide;
             r.volumeWithoutShortNames = true;
           }),
      with(notReached("ShortNameDoesNotFit", fake::kCodePageWestern, kIvan, {}),
           [](RoamingFolder& r) {
             r.shortPath = L"C:\\" + std::wstring(40000, L'S');
           }),
      with(
          notReached("ShortNameStillOutsideTheCodePage", fake::kCodePageWestern,
                     kIvan, {"C:\\Users\\????~1\\AppData\\Roaming"}),
          [](RoamingFolder& r) {
            r.shortPath =
                L"C:\\Users\\\u0418\u0412\u0410\u041d~1\\AppData\\Roaming";
          }),
  };
}

}  // namespace

const std::vector<RoamingFolder> kRoamingFolders = roamingFolders();

void plant(const RoamingFolder& folder, fake::Machine& m) {
  m.setAnsiCodePage(folder.codePage);
  m.setRoamingFolder(folder.path);
  if (folder.lookupResult != S_OK)
    m.failRoamingFolderLookup(folder.lookupResult);
  if (folder.failingConversionCall != 0) {
    m.failConversion(folder.failingConversionCall,
                     fake::kErrorInsufficientBuffer);
  }
  if (folder.shortPath) m.setShortPath(folder.path, *folder.shortPath);
  if (folder.shortPathError != 0) m.failShortPathLookup(folder.shortPathError);
  if (folder.volumeWithoutShortNames) m.withoutShortNames();
  // A path cut short to "\Tovik\..." would run whatever sits at the root of
  // the current drive, whatever the folder.
  std::vector<std::string> traps = folder.traps;
  traps.emplace_back();
  for (const std::string& trap : traps) {
    for (const std::string& component : kComponents) {
      m.addUninstaller(uninstallerOf(trap, component));
    }
  }
}

std::string notReachedLine(const RoamingFolder& folder) {
  return folder.lookupResult != S_OK
             ? folderLookupFailedLine(folder.lookupResult)
             : kFolderUnrepresentableLine;
}

// --- Uninstallers ----------------------------------------------------------

namespace {

fake::Program program(DWORD exitCode, DWORD runsFor,
                      DWORD exitCodeReadError = 0, DWORD startError = 0) {
  fake::Program p;
  p.exitCode = exitCode;
  p.runsForMilliseconds = runsFor;
  p.exitCodeReadError = exitCodeReadError;
  p.startError = startError;
  return p;
}

std::string folderOf(const std::string& path) {
  return path.substr(0, path.rfind('\\'));
}

}  // namespace

// Once the uninstaller is there, only a start that failed counts as not
// completed: its exit code means nothing agreed, and one still running may
// yet finish.
const std::vector<Uninstaller> kUninstallers = {
    {"Absent", [](fake::Machine&, const std::string&) {}, false,
     fake::kErrorPathNotFound, "", std::nullopt},
    {"FolderWithoutUninstaller",
     [](fake::Machine& m, const std::string& path) {
       m.addFile(folderOf(path) + "\\settings.ini");
     },
     false, fake::kErrorFileNotFound, "", std::nullopt},
    {"FolderNamedUninstallExe",
     [](fake::Machine& m, const std::string& path) { m.addFolder(path); },
     false, fake::kErrorAccessDenied, "", std::nullopt},
    {"CannotBeRead",
     [](fake::Machine& m, const std::string& path) {
       m.addUnreadableFile(path, fake::kErrorAccessDenied);
     },
     false, fake::kErrorAccessDenied, "", std::nullopt},
    // It could be started, but it cannot be read, so it is not there.
    {"CannotBeReadButWouldRun",
     [](fake::Machine& m, const std::string& path) {
       m.addProgram(path, program(0, 500));
       m.addUnreadableFile(path, fake::kErrorAccessDenied);
     },
     false, 0, returnCodeLine(0), 0},
    {"NotAProgram",
     [](fake::Machine& m, const std::string& path) { m.addFile(path); }, true,
     fake::kErrorBadExeFormat, "", std::nullopt},
    {"StartRefused",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(0, 500, 0, fake::kErrorAccessDenied));
     },
     true, fake::kErrorAccessDenied, "", std::nullopt},
    {"ExitsWithZero",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(0, 500));
     },
     true, 0, returnCodeLine(0), 0},
    {"ExitsWithNonZero",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(3, 500));
     },
     true, 0, returnCodeLine(3), 3},
    // A crash status is 2^31 or more and shows as a negative number.
    {"Crashes",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(0xC0000005, 500));
     },
     true, 0, "launchAndWait() got a return code:-1073741819\n", 0xC0000005},
    {"FinishesAsTheWaitEnds",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(7, kWaitMilliseconds));
     },
     true, 0, returnCodeLine(7), 7},
    {"OutlivesTheWait",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(0, 6 * kWaitMilliseconds));
     },
     true, 0, returnCodeLine(STILL_ACTIVE), STILL_ACTIVE},
    {"ExitCodeUnreadable",
     [](fake::Machine& m, const std::string& path) {
       m.addUninstaller(path, program(0, 500, fake::kErrorInvalidHandle));
     },
     true, 0, exitCodeUnreadableLine(fake::kErrorInvalidHandle), std::nullopt},
};

std::string launchReport(const Uninstaller& row, const std::string& path,
                         const std::string& arguments) {
  return row.startError != 0 ? startFailedLine(path, arguments, row.startError)
                             : row.report;
}

std::string componentLines(const Uninstaller& row, const std::string& roaming,
                           const std::string& component) {
  const std::string path = uninstallerOf(roaming, component);
  if (!row.found) return missingLine(path);
  return uninstallingLine(component) + launchLine(path, kComponentArguments) +
         launchReport(row, path, kComponentArguments) +
         closingLine(component, row.startError == 0);
}

// --- Processes -------------------------------------------------------------

namespace {

const char kProgramFolder[] =
    "\\Device\\HarddiskVolume3\\Program Files (x86)\\Tovik\\";

std::string changedCase(std::string text, int (*change)(int)) {
  for (char& c : text) {
    c = static_cast<char>(change(static_cast<unsigned char>(c)));
  }
  return text;
}

}  // namespace

// Only the base name counts, compared whole and case-sensitively.
const std::vector<ProcessName> kProcessNames = {
    {"InTheProgramFolder",
     [](const std::string& exe) { return kProgramFolder + exe; }, true},
    {"InTheLocalAppDataFolder",
     [](const std::string& exe) {
       return "\\Device\\HarddiskVolume1\\Users\\user1\\AppData\\Local\\Tovik"
              "\\" +
              exe;
     },
     true},
    {"AtTheVolumeRoot",
     [](const std::string& exe) { return "\\Device\\HarddiskVolume2\\" + exe; },
     true},
    {"BareName", [](const std::string& exe) { return exe; }, true},
    {"NameOver260Bytes",
     [](const std::string& exe) {
       return "\\Device\\HarddiskVolume3\\" + std::string(1000, 'd') + "\\" +
              exe;
     },
     true},
    {"UpperCase",
     [](const std::string& exe) {
       return kProgramFolder + changedCase(exe, ::toupper);
     },
     false},
    {"LowerCase",
     [](const std::string& exe) {
       return kProgramFolder + changedCase(exe, ::tolower);
     },
     false},
    {"ExtraExtension",
     [](const std::string& exe) { return kProgramFolder + exe + ".old"; },
     false},
    {"TrailingBlank",
     [](const std::string& exe) { return kProgramFolder + exe + " "; }, false},
    {"SomethingInFront",
     [](const std::string& exe) { return kProgramFolder + ("old_" + exe); },
     false},
    {"WithoutExe",
     [](const std::string& exe) {
       return kProgramFolder + exe.substr(0, exe.size() - 4);
     },
     false},
    {"OneLetterShort",
     [](const std::string& exe) {
       return kProgramFolder + exe.substr(0, exe.size() - 1);
     },
     false},
    {"BareNameWithSomethingAfter",
     [](const std::string& exe) { return exe + "2"; }, false},
    {"ProductNameOnlyInTheFolder",
     [](const std::string& exe) {
       return kProgramFolder + exe + "\\helper.exe";
     },
     false},
    {"NoBaseName",
     [](const std::string& exe) { return kProgramFolder + exe + "\\"; }, false},
    {"ForwardSlashes",
     [](const std::string& exe) { return "C:/Program Files/Tovik/" + exe; },
     false},
};

// Termination is asynchronous, so the exit code read at once may still be
// STILL_ACTIVE; one that cannot be read shows the 0 it was set to.
const std::vector<ProcessState> kProcessStates = {
    {"Running", [](fake::Process&) {}, ProcessState::kNamed, true, 0},
    {"StillGoingDown",
     [](fake::Process& p) { p.exitCodeAfterTerminate = STILL_ACTIVE; },
     ProcessState::kNamed, true, STILL_ACTIVE},
    {"TerminationRefused",
     [](fake::Process& p) { p.terminateError = fake::kErrorAccessDenied; },
     ProcessState::kNamed, false, STILL_ACTIVE},
    {"ExitCodeUnreadable",
     [](fake::Process& p) {
       p.exitCodeAfterTerminate = STILL_ACTIVE;
       p.exitCodeReadError = fake::kErrorAccessDenied;
     },
     ProcessState::kNamed, true, 0},
    // Endpoint agents and anti-tamper code grant others no more than
    // terminate, limited query and synchronize on their own processes: the
    // user may still end them, and the sweep does.
    {"Hardened",
     [](fake::Process& p) {
       p.grantedRights =
           PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
     },
     ProcessState::kNamed, true, 0},
    // Without either of the two rights it uses, the sweep cannot open it.
    {"LimitedQueryOnly",
     [](fake::Process& p) {
       p.grantedRights = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
     },
     ProcessState::kCannotOpen, false, 0},
    {"TerminateOnly",
     [](fake::Process& p) { p.grantedRights = PROCESS_TERMINATE; },
     ProcessState::kCannotOpen, false, 0},
    // It ended by itself between the list and the termination: Windows
    // refuses the termination, and the code it ended with stays.
    {"ExitedBeforeTermination", [](fake::Process& p) { p.exitedWith = 1; },
     ProcessState::kNamed, false, 1},
    // Other users' and protected processes: skipped silently.
    {"CannotBeOpened",
     [](fake::Process& p) { p.openError = fake::kErrorAccessDenied; },
     ProcessState::kCannotOpen, false, 0},
    {"NameCannotBeRead",
     [](fake::Process& p) { p.nameError = fake::kErrorPartialCopy; },
     ProcessState::kNameUnreadable, false, 0},
};

std::string sweepLines(const ProcessName& name, const ProcessState& state,
                       const std::string& executable, DWORD pid) {
  if (state.reach == ProcessState::kNameUnreadable) return kNameUnreadableLine;
  if (!terminationAsked(name, state)) return "";
  return terminatingLines(executable, pid, state.accepted, state.exitCodeShown);
}

bool terminationAsked(const ProcessName& name, const ProcessState& state) {
  return name.product && state.reach == ProcessState::kNamed;
}

const std::vector<ProcessList> kProcessLists = {
    {"Whole", 0, 0, 1},
    {"FailsAtOnce", 1, fake::kErrorAccessDenied, 1},
    // Only a list longer than the first buffer is asked for again.
    {"FailsWhileGrowing", 2, fake::kErrorInvalidParameter, 1500},
};

// --- Installer products ----------------------------------------------------

const std::vector<AssignmentType> kAssignmentTypes = {
    {"PerUser", "0", "\tInstalled per-user non-managed\n"},
    {"PerMachine", "1", "\tInstalled per-machine non-managed\n"},
    {"Empty", "", "\tInstalled per-user non-managed\n"},
};

namespace {

// A product of this name; a query of it fails with `error` where `failure`
// says.
fake::Product named(const std::string& name,
                    UINT fake::Product::*failure = nullptr, UINT error = 0) {
  fake::Product p;
  p.name = name;
  if (failure != nullptr) p.*failure = error;
  return p;
}

// The first buffer holds 259 characters and the terminator.
fake::Product starterNameWithLength(size_t length) {
  return named(kStarter + std::string(length - (sizeof kStarter - 1), 'x'));
}

}  // namespace

// A product is passed over silently when its name is another, however
// close, or when its registration cannot be read (damaged, or removed by
// someone else since it was listed).
const std::vector<OtherProduct> kOtherProducts = {
    {"AnotherProduct", [] { return named("Contoso Viewer"); }, false},
    {"SiblingProduct", [] { return named("Tovik Device Inspector"); }, false},
    {"LowerCase", [] { return named("tovik workspace starter"); }, false},
    {"UpperCase", [] { return named("TOVIK WORKSPACE STARTER"); }, false},
    {"TrailingBlank", [] { return named("Tovik Workspace Starter "); }, false},
    {"LeadingBlank", [] { return named(" Tovik Workspace Starter"); }, false},
    {"Suffix", [] { return named("Tovik Workspace Starter 2"); }, false},
    {"Prefix", [] { return named("Tovik Workspace"); }, false},
    {"DoubledBlank", [] { return named("Tovik  Workspace Starter"); }, false},
    {"OneLetterShort", [] { return named("Tovik Workspace Starte"); }, false},
    // Begins like the Starter, so a name cut at the first buffer would not
    // tell it apart: it must be read whole.
    {"NameFillsTheFirstBuffer", [] { return starterNameWithLength(259); },
     false},
    {"NameOneOverTheFirstBuffer", [] { return starterNameWithLength(260); },
     false},
    {"NameOf300Characters", [] { return starterNameWithLength(300); }, false},
    {"NameOf1200Characters", [] { return starterNameWithLength(1200); }, false},
    {"ExactNameAssignmentTypeFails",
     [] {
       return named(kStarter, &fake::Product::assignmentTypeError,
                    fake::kErrorBadConfiguration);
     },
     true},
    {"ExactNameProductNameFails",
     [] {
       return named(kStarter, &fake::Product::nameError,
                    fake::kErrorUnknownProperty);
     },
     true},
    {"ExactNameGoneBeforeItsNameIsRead",
     [] {
       return named(kStarter, &fake::Product::nameErrorOnceItFits,
                    fake::kErrorUnknownProduct);
     },
     true},
    {"LongNameGoneBeforeTheRetry",
     [] {
       return named(std::string(300, 'v'), &fake::Product::nameErrorOnceItFits,
                    fake::kErrorUnknownProduct);
     },
     false},
    // It grew again between the two queries.
    {"LongNameStillTooLongOnTheRetry",
     [] {
       return named(std::string(300, 'g'), &fake::Product::nameErrorOnceItFits,
                    static_cast<UINT>(ERROR_MORE_DATA));
     },
     false},
};

namespace {

// msiexec takes a couple of seconds unless a row says otherwise.
fake::Program msiexecProgram(DWORD exitCode, DWORD runsFor = 2000,
                             DWORD exitCodeReadError = 0,
                             DWORD startError = 0) {
  return program(exitCode, runsFor, exitCodeReadError, startError);
}

MsiexecOutcome exitsWith(const char* name, DWORD code, bool completed,
                         bool restartRequired = false) {
  return {name,      msiexecProgram(code), 0, returnCodeLine(code),
          completed, restartRequired};
}

}  // namespace

// Windows Installer's own codes say whether the product is gone; only a
// known failure is reported as one.
const std::vector<MsiexecOutcome> kMsiexecOutcomes = {
    exitsWith("Success", 0, true),
    // msiexec has started the restart itself.
    exitsWith("RestartStarted", 1641, true),
    // Asked not to restart, msiexec leaves the rest for the next start.
    exitsWith("RestartNeeded", 3010, true, true),
    exitsWith("AlreadyGone", 1605, true),
    exitsWith("AlreadyUninstalled", 1614, true),
    // Nothing is known to have failed.
    {"StillRunningAfterTheWait", msiexecProgram(1603, 30000), 0,
     returnCodeLine(STILL_ACTIVE), true, false},
    {"ExitCodeUnreadable", msiexecProgram(1603, 2000, fake::kErrorAccessDenied),
     0, exitCodeUnreadableLine(fake::kErrorAccessDenied), true, false},
    // Also what an unelevated run gets for a per-machine installation: a
    // quiet msiexec cannot ask for elevation.
    exitsWith("FatalError", 1603, false),
    exitsWith("AnotherInstallRunning", 1618, false),
    exitsWith("UserCancelled", 1602, false),
    {"StartRefused", msiexecProgram(0, 2000, 0, fake::kErrorAccessDenied),
     fake::kErrorAccessDenied, "", false, false},
    {"NotThere", std::nullopt, fake::kErrorPathNotFound, "", false, false},
};

void plant(const MsiexecOutcome& outcome, fake::Machine& m) {
  if (outcome.program) m.addProgram(kMsiexec, *outcome.program);
}

std::string msiexecReport(const MsiexecOutcome& outcome,
                          const std::string& productCode) {
  return outcome.startError != 0
             ? startFailedLine(kMsiexec, msiexecArguments(productCode),
                               outcome.startError)
             : outcome.report;
}

// Without the Windows Installer, or with a product list that cannot be read
// before the Starter's place, the summary must say that the Starter could
// not be looked for rather than that it is not there.
const std::vector<InstallerAnswer> kInstallerAnswers = {
    {"Loads", [](fake::Machine&) {}, std::nullopt, InstallerAnswer::kNever,
     false},
    {"LibraryMissing",
     [](fake::Machine& m) {
       m.failLibraryLoad("msi.dll", fake::kErrorModNotFound);
     },
     fake::kErrorModNotFound, InstallerAnswer::kNever, false},
    {"LibraryAccessDenied",
     [](fake::Machine& m) {
       m.failLibraryLoad("msi.dll", fake::kErrorAccessDenied);
     },
     fake::kErrorAccessDenied, InstallerAnswer::kNever, false},
    {"LibraryNotAProgram",
     [](fake::Machine& m) {
       m.failLibraryLoad("msi.dll", fake::kErrorBadExeFormat);
     },
     fake::kErrorBadExeFormat, InstallerAnswer::kNever, false},
    {"NoEnumProducts",
     [](fake::Machine& m) { m.removeExport("MsiEnumProductsA"); },
     fake::kErrorProcNotFound, InstallerAnswer::kNever, false},
    {"NoGetProductInfo",
     [](fake::Machine& m) { m.removeExport("MsiGetProductInfoA"); },
     fake::kErrorProcNotFound, InstallerAnswer::kNever, false},
    // A Windows 7 without the search-flags update, where the system folder
    // itself cannot be named.
    {"SystemFolderUnknown",
     [](fake::Machine& m) {
       m.withoutLibrarySearchFlags();
       m.failSystemDirectory(fake::kErrorAccessDenied);
     },
     fake::kErrorAccessDenied, InstallerAnswer::kNever, true},
    {"ListFailsBeforeTheStarter", [](fake::Machine&) {}, std::nullopt,
     InstallerAnswer::kBeforeTheStarter, false},
    // Once the Starter is found, the rest of the list does not matter.
    {"ListFailsAfterTheStarter", [](fake::Machine&) {}, std::nullopt,
     InstallerAnswer::kAfterTheStarter, false},
};

// --- Window stations -------------------------------------------------------

// Only a station known to be hidden means nobody can see a box.
const std::vector<WindowStation> kWindowStations = {
    {"Visible", [](fake::Machine&) {}, true},
    {"Hidden", [](fake::Machine& m) { m.hideWindowStation(); }, false},
    {"StationUnknown",
     [](fake::Machine& m) {
       m.hideWindowStation();
       m.failProcessWindowStation(fake::kErrorAccessDenied);
     },
     true},
    {"FlagsUnreadable",
     [](fake::Machine& m) {
       m.hideWindowStation();
       m.failUserObjectInformation(fake::kErrorAccessDenied);
     },
     true},
};

}  // namespace cases

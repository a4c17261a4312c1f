// What a clean-up run is about, written out by hand for the tests: the names
// it deals in, the lines it prints, the summary it ends with, and the shared
// tables of cases (a name, how to plant it on the fake machine, what is due)
// that the plain table tests and the random machines both draw from.
//
// Nothing here comes from the program's own headers, so that a name changed
// in the program fails the tests instead of changing them along with it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_machine.h"

namespace cases {

// --- What the run deals in -------------------------------------------------

// The per-user components, in the order they are removed.
extern const std::vector<std::string> kComponents;
// The product's executables the sweep ends.
extern const std::vector<std::string> kProductProcesses;
inline constexpr char kStarter[] = "Tovik Workspace Starter";
inline constexpr char kMsiexec[] = "c:\\Windows\\system32\\msiexec.exe";
inline constexpr char kComponentArguments[] = " /S";
inline constexpr char kCaption[] = "Tovik";
inline constexpr char kNothingFound[] =
    "No Tovik Components found to uninstall";
inline constexpr DWORD kWaitMilliseconds = 10000;
// The fake machine's roaming folder unless a test moves it.
inline constexpr char kDefaultRoaming[] = "C:\\Users\\user1\\AppData\\Roaming";
inline constexpr char kStarterCode[] = "{6A1F4E2B-7C3D-4B8A-9E5F-0123456789AB}";
// What the product list answers when it cannot be read.
inline constexpr UINT kProductListError = fake::kErrorBadConfiguration;

std::string msiexecArguments(const std::string& productCode);
std::string componentFolderOf(const std::string& roaming,
                              const std::string& component);
std::string uninstallerOf(const std::string& roaming,
                          const std::string& component);

// --- What the run prints ---------------------------------------------------

std::string processListFailedLine(DWORD error);
extern const char kNameUnreadableLine[];
std::string terminatingLines(const std::string& baseName, DWORD pid,
                             bool accepted, DWORD exitCodeShown);

std::string folderLookupFailedLine(HRESULT result);
extern const char kFolderUnrepresentableLine[];
std::string missingLine(const std::string& uninstallerPath);
std::string uninstallingLine(const std::string& name);
std::string launchLine(const std::string& path, const std::string& arguments);
std::string startFailedLine(const std::string& path,
                            const std::string& arguments, DWORD error);
std::string returnCodeLine(DWORD exitCode);
std::string exitCodeUnreadableLine(DWORD error);
std::string closingLine(const std::string& name, bool completed);

std::string msiUnavailableLine(DWORD error);
// From the match up to the launch of msiexec, for the Starter.
std::string starterFoundLines(const std::string& productCode,
                              const std::string& installedLine);

extern const char kNoDesktopLine[];

// --- The summary -----------------------------------------------------------

// What the closing summary is built from.
struct Summary {
  std::vector<std::string> completed;
  std::vector<std::string> notCompleted;
  bool componentsNotLookedFor = false;
  bool starterNotLookedFor = false;
  bool restartRequired = false;
};

// The box's text: a line for each thing that applies, in their order; empty
// when none does.
std::string summaryText(const Summary& summary);
std::string boxText(const Summary& summary);
// What the console ends with once the product phase is done.
std::string consoleEnding(const Summary& summary, bool boxShown);

// --- Shared tables ---------------------------------------------------------
//
// The first row of each table is the plain case, where a shrunk random
// machine ends up.

// Where the roaming folder is, and whether the narrow calls can reach it.
struct RoamingFolder {
  const char* name;
  UINT codePage;
  std::wstring path;
  HRESULT lookupResult;
  int failingConversionCall;  // 0: none
  // What the volume gives as the folder's 8.3 form: nothing scripted (the
  // long path comes back), a short path, or a failure; or it keeps none.
  std::optional<std::wstring> shortPath;
  DWORD shortPathError;
  bool volumeWithoutShortNames;
  // Due: the narrow form the components are looked for below; none when
  // the components cannot be looked for.
  std::optional<std::string> reachedAs;
  // Where a lossy, shortened or fallen-back path would lead. Every
  // component's uninstaller is planted in each, and none may be touched.
  std::vector<std::string> traps;
};
extern const std::vector<RoamingFolder> kRoamingFolders;
// Scripts the folder and its traps, the empty root's among them.
void plant(const RoamingFolder& folder, fake::Machine& m);
// What the run says when it cannot look below the folder.
std::string notReachedLine(const RoamingFolder& folder);

// What lies at a component's uninstaller path.
struct Uninstaller {
  const char* name;
  void (*plant)(fake::Machine& m, const std::string& path);
  bool found;  // the run sees an uninstaller to start
  // What starting it anyway does: fails with startError, or starts (0),
  // after which launchAndWait prints `report` and hands back `exitCode`.
  DWORD startError;
  std::string report;
  std::optional<DWORD> exitCode;
};
extern const std::vector<Uninstaller> kUninstallers;
// Everything the component phase prints for one component.
std::string componentLines(const Uninstaller& row, const std::string& roaming,
                           const std::string& component);
// What launchAndWait prints after its launch line.
std::string launchReport(const Uninstaller& row, const std::string& path,
                         const std::string& arguments);

// An image name the sweep meets, made from one product executable's name.
struct ProcessName {
  const char* name;
  std::string (*image)(const std::string& executable);
  bool product;  // due: the sweep takes it for a product process
};
extern const std::vector<ProcessName> kProcessNames;

// How far the sweep gets with a process, and how its termination goes.
struct ProcessState {
  const char* name;
  void (*plant)(fake::Process& p);
  enum Reach { kCannotOpen, kNameUnreadable, kNamed } reach;
  bool accepted;        // TerminateProcess succeeds
  DWORD exitCodeShown;  // what the line after it shows
};
extern const std::vector<ProcessState> kProcessStates;
// What the sweep prints of one process.
std::string sweepLines(const ProcessName& name, const ProcessState& state,
                       const std::string& executable, DWORD pid);
// Due: TerminateProcess is called on it.
bool terminationAsked(const ProcessName& name, const ProcessState& state);

// How K32EnumProcesses answers.
struct ProcessList {
  const char* name;
  int failingCall;  // 0: never fails
  DWORD error;
  // Processes a case needs for the failing call to be made at all.
  DWORD processesNeeded;
};
extern const std::vector<ProcessList> kProcessLists;

// How a product's installation is recorded.
struct AssignmentType {
  const char* name;
  const char* value;
  const char* installedLine;
};
extern const std::vector<AssignmentType> kAssignmentTypes;

// A product the search must pass over, ahead of the Starter or after it.
struct OtherProduct {
  const char* name;
  fake::Product (*make)();
  bool queryFails;  // it has the Starter's name, but a query of it fails
};
extern const std::vector<OtherProduct> kOtherProducts;

// What msiexec does with the removal.
struct MsiexecOutcome {
  const char* name;
  std::optional<fake::Program> program;  // none: no msiexec to start
  DWORD startError;                      // when it cannot start
  std::string report;                    // when it starts
  bool completed;
  bool restartRequired;
};
extern const std::vector<MsiexecOutcome> kMsiexecOutcomes;
void plant(const MsiexecOutcome& outcome, fake::Machine& m);
// What launchAndWait prints of msiexec after its launch line.
std::string msiexecReport(const MsiexecOutcome& outcome,
                          const std::string& productCode);

// How the Windows Installer answers: msi.dll and its two calls, and the
// product list.
struct InstallerAnswer {
  const char* name;
  void (*plant)(fake::Machine& m);
  std::optional<DWORD> loadError;  // due: msi.dll cannot be used
  // Where the product list stops being readable: never, at or before the
  // Starter's place, or after it.
  enum ListFailure { kNever, kBeforeTheStarter, kAfterTheStarter } listFails;
  bool windows7WithoutUpdate;  // the row makes the machine one
};
extern const std::vector<InstallerAnswer> kInstallerAnswers;

// The window station the process runs on.
struct WindowStation {
  const char* name;
  void (*plant)(fake::Machine& m);
  bool boxShown;
};
extern const std::vector<WindowStation> kWindowStations;

// The row named `name`; a failure, and the plain first row, if there is
// none.
template <typename Row>
const Row& rowNamed(const std::vector<Row>& table, const std::string& name) {
  for (const Row& row : table) {
    if (name == row.name) return row;
  }
  ADD_FAILURE() << "no row named \"" << name << "\"";
  return table.front();
}

template <typename Row>
bool hasRow(const std::vector<Row>& table, const std::string& name) {
  for (const Row& row : table) {
    if (name == row.name) return true;
  }
  return false;
}

// Names parameterized tests after their rows, so that
// --gtest_filter='*/RowName' runs one.
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.name;
  }
};

}  // namespace cases

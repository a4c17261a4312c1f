#include "cleanup/cleanup_run.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "machine_test.h"
#include "run_cases.h"
#include "run_scenario.h"

namespace {

using cases::kComponents;
using cases::kStarter;
using cases::kStarterCode;
using cases::Scenario;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kRoaming[] = "C:\\Users\\user1\\AppData\\Roaming";

// What the component phase prints when only `removed` is installed (and
// starts, and exits with 0), or none is.
std::string componentLines(const std::string& roaming,
                           const std::string& removed = "") {
  std::string lines;
  for (const std::string& component : kComponents) {
    lines += cases::componentLines(
        cases::rowNamed(cases::kUninstallers,
                        component == removed ? "ExitsWithZero" : "Absent"),
        roaming, component);
  }
  return lines;
}

// A per-user Starter found, and msiexec's exit code and what it means.
std::string starterLines(DWORD msiexecCode, bool completed) {
  return cases::starterFoundLines(kStarterCode,
                                  cases::kAssignmentTypes[0].installedLine) +
         cases::returnCodeLine(msiexecCode) +
         cases::closingLine(kStarter, completed);
}

std::string summaryLines(const cases::Summary& summary) {
  return "\n" + cases::summaryText(summary) + "\n";
}

void installStarter(fake::Machine& m, DWORD msiexecCode = 0) {
  fake::Product starter;
  starter.code = kStarterCode;
  starter.name = kStarter;
  m.addProduct(starter);
  fake::Program msiexec;
  msiexec.exitCode = msiexecCode;
  m.addProgram(cases::kMsiexec, msiexec);
}

fake::Process productProcess(DWORD pid, const std::string& baseName) {
  fake::Process p;
  p.pid = pid;
  p.imageName = "\\Device\\HarddiskVolume3\\Program Files\\Tovik\\" + baseName;
  return p;
}

class CleanupRunTest : public cases::ScenarioTest {
 protected:
  int run(std::string& out) {
    int exitCode = -1;
    out = captureStdout([&] { exitCode = runCleanup(); });
    return exitCode;
  }

  void expectOneMessageBox(const std::string& text) {
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    const fake::MessageBoxCall& box = machine().messageBoxes[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, cases::kCaption);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  }
};

TEST_F(CleanupRunTest, NothingInstalledShowsTheNothingFoundBox) {
  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_EQ(out, componentLines(kRoaming));
  expectOneMessageBox(cases::kNothingFound);

  ASSERT_EQ(machine().knownFolderCalls.size(), 1u);
  EXPECT_TRUE(machine().knownFolderCalls[0].roamingAppData);
  EXPECT_EQ(machine().knownFolderCalls[0].flags, 0u);
  EXPECT_EQ(machine().knownFolderCalls[0].token, nullptr);
  // The shell's text went back to the COM allocator.
  EXPECT_EQ(machine().roamingFolderTextsHandedOut(), 1);
  EXPECT_EQ(machine().roamingFolderTextsReleased(), 1);
}

// The search is restricted before the first call that can load a library,
// so nothing planted beside the program is ever loaded: not msi.dll, which
// the program loads itself, nor uxtheme.dll, which the message box loads.
TEST_F(CleanupRunTest, RestrictsTheLibrarySearchBeforeAnythingElse) {
  machine().plantLibraryBesideProgram("msi.dll");
  machine().plantLibraryBesideProgram("uxtheme.dll");
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  const std::vector<std::string>& calls = machine().calls;
  ASSERT_GE(calls.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 3),
              ElementsAre("GetModuleHandleA", "GetProcAddress",
                          "SetDefaultDllDirectories"));
  EXPECT_THAT(machine().plantedLibrariesLoaded(), IsEmpty());
  EXPECT_EQ(uninstalledNames, std::string(kStarter) + ", ");
}

// Where Windows offers no way to keep the program's own folder out of the
// search (Windows 7 without its search-flags update), the program's own load
// of msi.dll is still safe; the libraries Windows itself loads by name are
// beyond its reach there.
TEST_F(CleanupRunTest, OnWindows7WithoutTheUpdateLoadsMsiByFullPath) {
  machine().withoutLibrarySearchFlags();
  machine().plantLibraryBesideProgram("msi.dll");
  machine().plantLibraryBesideProgram("uxtheme.dll");
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_THAT(machine().dllDirectoryCalls,
              ElementsAre(std::optional<std::string>("")));
  EXPECT_THAT(machine().plantedLibrariesLoaded(), ElementsAre("uxtheme.dll"));
  EXPECT_EQ(uninstalledNames, std::string(kStarter) + ", ");
}

// No Windows Installer: the product phase says why, and the run still ends
// with its summary.
TEST_F(CleanupRunTest, WithoutTheWindowsInstallerTheRunGoesOn) {
  machine().failLibraryLoad("msi.dll", fake::kErrorModNotFound);
  installStarter(machine());
  machine().addUninstaller(cases::uninstallerOf(kRoaming, "Deploy Client"));

  std::string out;
  EXPECT_EQ(run(out), 0);

  cases::Summary summary;
  summary.completed = {"Deploy Client"};
  summary.starterNotLookedFor = true;
  EXPECT_EQ(out, componentLines(kRoaming, "Deploy Client") +
                     cases::msiUnavailableLine(fake::kErrorModNotFound) +
                     summaryLines(summary));
  expectOneMessageBox(cases::summaryText(summary));
}

TEST_F(CleanupRunTest, RunsThePhasesInOrderAndNamesEverythingInTheSummary) {
  machine().addProcess(productProcess(1200, "TovikWorkspaceStarter.exe"));
  std::string expected =
      cases::terminatingLines("TovikWorkspaceStarter.exe", 1200, true, 0);
  for (const std::string& component : kComponents) {
    machine().addUninstaller(cases::uninstallerOf(kRoaming, component));
    expected += cases::componentLines(
        cases::rowNamed(cases::kUninstallers, "ExitsWithZero"), kRoaming,
        component);
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  cases::Summary summary;
  summary.completed = kComponents;
  summary.completed.emplace_back(kStarter);
  expected += starterLines(0, true) + summaryLines(summary);
  EXPECT_EQ(out, expected);
  expectOneMessageBox(cases::summaryText(summary));
}

TEST_F(CleanupRunTest, AFailedProcessListDoesNotStopTheRun) {
  machine().failProcessEnumeration(fake::kErrorAccessDenied);
  machine().addUninstaller(cases::uninstallerOf(kRoaming, "Device Inspector"));

  std::string out;
  EXPECT_EQ(run(out), 0);

  cases::Summary summary;
  summary.completed = {"Device Inspector"};
  EXPECT_EQ(out, cases::processListFailedLine(fake::kErrorAccessDenied) +
                     componentLines(kRoaming, "Device Inspector") +
                     summaryLines(summary));
}

Scenario scenario(void (*change)(Scenario&)) {
  Scenario s;
  change(s);
  return s;
}

// The summary's text is written out here once, as the administrators read
// it, for every shape it can take.
struct SummaryCase {
  const char* name;
  Scenario scenario;
  const char* summary;
};

using SummaryTest = RowTest<SummaryCase, CleanupRunTest>;

TEST_P(SummaryTest, PrintsAndShowsEveryLineThatApplies) {
  const SummaryCase& row = GetParam();
  EXPECT_EQ(cases::summaryText(cases::summaryOf(row.scenario)), row.summary);

  expectRunKeepsItsPromises(row.scenario);
  expectOneMessageBox(row.summary);
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, SummaryTest,
    ::testing::Values(
        SummaryCase{"OnlyTheProduct",
                    scenario([](Scenario& s) { s.starter = "PerUser"; }),
                    "Uninstallation of Tovik Workspace Starter, completed"},
        // An uninstaller that is not a program cannot be started.
        SummaryCase{"OnlyAFailure", scenario([](Scenario& s) {
                      s.components[3] = "NotAProgram";
                    }),
                    "Uninstallation of Deploy Client, did not complete"},
        SummaryCase{
            "BothLines", scenario([](Scenario& s) {
              s.components = {"Absent", "ExitsWithZero", "NotAProgram",
                              "ExitsWithZero"};
              s.starter = "PerUser";
              s.msiexec = "FatalError";
            }),
            "Uninstallation of Tovik Remote Desk Client, Deploy Client, "
            "completed\n"
            "Uninstallation of Device Inspector, Tovik Workspace "
            "Starter, did not complete"},
        // A per-machine installation needs an elevated run: a quiet msiexec
        // cannot ask for elevation, and ends with 1603 (Wine has no UAC to
        // show this).
        SummaryCase{"PerMachineStarterWithoutElevation",
                    scenario([](Scenario& s) {
                      s.starter = "PerMachine";
                      s.msiexec = "FatalError";
                    }),
                    "Uninstallation of Tovik Workspace Starter, did not "
                    "complete"},
        // Phases that never looked must not pass for having found nothing.
        SummaryCase{"FolderLookupFailedAlone",
                    scenario([](Scenario& s) { s.folder = "LookupFails"; }),
                    "Per-user Tovik Components could not be looked for"},
        SummaryCase{"NoWindowsInstallerAlone", scenario([](Scenario& s) {
                      s.starter = "PerUser";
                      s.installer = "LibraryMissing";
                    }),
                    "Tovik Workspace Starter could not be looked for"},
        SummaryCase{"ProductListUnreadableBeforeTheStarter",
                    scenario([](Scenario& s) {
                      s.starter = "PerUser";
                      s.installer = "ListFailsBeforeTheStarter";
                    }),
                    "Tovik Workspace Starter could not be looked for"},
        SummaryCase{"ProductListUnreadableAfterTheStarter",
                    scenario([](Scenario& s) {
                      s.starter = "PerUser";
                      s.installer = "ListFailsAfterTheStarter";
                    }),
                    "Uninstallation of Tovik Workspace Starter, completed"},
        SummaryCase{"RestartNeeded", scenario([](Scenario& s) {
                      s.starter = "PerUser";
                      s.msiexec = "RestartNeeded";
                    }),
                    "Uninstallation of Tovik Workspace Starter, completed\n"
                    "Restart Windows to finish the uninstallation"},
        SummaryCase{"RestartStarted", scenario([](Scenario& s) {
                      s.starter = "PerUser";
                      s.msiexec = "RestartStarted";
                    }),
                    "Uninstallation of Tovik Workspace Starter, completed"},
        // Lines that can stand together, in their order.
        SummaryCase{"ComponentsAndNoWindowsInstaller",
                    scenario([](Scenario& s) {
                      s.components = {"Absent", "Absent", "NotAProgram",
                                      "ExitsWithZero"};
                      s.installer = "LibraryMissing";
                    }),
                    "Uninstallation of Deploy Client, completed\n"
                    "Uninstallation of Device Inspector, did not complete\n"
                    "Tovik Workspace Starter could not be looked for"},
        SummaryCase{"NoFolderAndRestartNeeded", scenario([](Scenario& s) {
                      s.folder = "LookupFails";
                      s.starter = "PerUser";
                      s.msiexec = "RestartNeeded";
                    }),
                    "Uninstallation of Tovik Workspace Starter, completed\n"
                    "Per-user Tovik Components could not be looked for\n"
                    "Restart Windows to finish the uninstallation"},
        SummaryCase{"NeitherPhaseCouldLook", scenario([](Scenario& s) {
                      s.folder = "LookupFails";
                      s.installer = "NoGetProductInfo";
                    }),
                    "Per-user Tovik Components could not be looked for\n"
                    "Tovik Workspace Starter could not be looked for"}),
    cases::RowName());

using RoamingFolderTest = RowTest<cases::RoamingFolder, CleanupRunTest>;

// The narrow calls read paths in the ANSI code page, so the roaming folder
// is converted to it, or reached by its short name; where neither gives a
// path that leads there, the components are skipped and said to be, and no
// lossy, shortened or fallen-back path is ever looked below.
TEST_P(RoamingFolderTest, IsLookedBelowAsItCanBeReachedOrNotAtAll) {
  Scenario s;
  s.folder = GetParam().name;
  s.components = {"Absent", "Absent", "ExitsWithZero", "Absent"};
  s.starter = "PerUser";

  expectRunKeepsItsPromises(s);
  EXPECT_EQ(machine().knownFolderCalls.size(), 1u);
  if (!GetParam().reachedAs) {
    EXPECT_THAT(machine().createFileCalls, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Folders, RoamingFolderTest,
                         ::testing::ValuesIn(cases::kRoamingFolders),
                         cases::RowName());

class WindowStationTest : public CleanupRunTest,
                          public ::testing::WithParamInterface<
                              std::tuple<cases::WindowStation, bool>> {};

// Where nobody sees the desktop the box would wait for ever, and so would
// the deployment that started the program: the console gets its text and
// the run ends. Only a station known to be hidden does that.
TEST_P(WindowStationTest, ShowsTheBoxOnlyWhereSomebodyCanSeeIt) {
  const auto& [row, starterInstalled] = GetParam();
  Scenario s;
  s.station = row.name;
  if (starterInstalled) s.starter = "PerUser";

  expectRunKeepsItsPromises(s);
  // Asked right before the box, so that nothing the run did can change the
  // answer afterwards.
  const std::vector<std::string>& calls = machine().calls;
  const std::vector<std::string> closing = {"GetProcessWindowStation",
                                            "GetUserObjectInformationA"};
  const auto asked =
      std::search(calls.begin(), calls.end(), closing.begin(), closing.end());
  if (row.boxShown) {
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(calls.back(), "MessageBoxA");
  } else {
    EXPECT_THAT(machine().messageBoxes, IsEmpty());
    EXPECT_EQ(calls.end() - asked, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stations, WindowStationTest,
    ::testing::Combine(::testing::ValuesIn(cases::kWindowStations),
                       ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "WithASummary" : "WithNothingFound");
    });

}  // namespace

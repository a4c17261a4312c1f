#include "cleanup/cleanup_run.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "machine_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kRoaming[] = "C:\\Users\\user1\\AppData\\Roaming";
constexpr char kMsiexec[] = "c:\\Windows\\system32\\msiexec.exe";
constexpr char kStarterCode[] = "{6A1F4E2B-7C3D-4B8A-9E5F-0123456789AB}";

// The components in the order they are removed.
const std::vector<std::string> kComponents = {
    "Tovik Hosted Apps Client",
    "Tovik Remote Desk Client",
    "Device Inspector",
    "Deploy Client",
};

std::string uninstallerOf(const std::string& roaming,
                          const std::string& component) {
  return roaming + "\\Tovik\\" + component + "\\uninstall.exe";
}

std::string missingLine(const std::string& roaming,
                        const std::string& component) {
  return "UninstallFile:" + uninstallerOf(roaming, component) +
         " does not exist\n";
}

std::string removedLines(const std::string& roaming,
                         const std::string& component) {
  return "Un-installing " + component + "...\n Launching " +
         uninstallerOf(roaming, component) +
         "  /S\n"
         "launchAndWait() got a return code:0\n"
         "Uninstallation of " +
         component + " completed\n";
}

std::string starterLines(DWORD msiexecCode, const char* closing) {
  return std::string(
             " Product Tovik Workspace Starter:\n"
             "\t") +
         kStarterCode +
         "\n"
         "\tInstalled per-user non-managed\n"
         "Un-installing Tovik Workspace Starter...\n"
         " Launching c:\\Windows\\system32\\msiexec.exe  /q /x " +
         kStarterCode +
         " /norestart\n"
         "launchAndWait() got a return code:" +
         std::to_string(msiexecCode) +
         "\nUninstallation of Tovik Workspace Starter " + closing + "\n";
}

void installStarter(fake::Machine& m, DWORD msiexecCode = 0,
                    const char* assignmentType = "0") {
  fake::Product starter;
  starter.code = kStarterCode;
  starter.name = "Tovik Workspace Starter";
  starter.assignmentType = assignmentType;
  m.addProduct(starter);
  fake::Program msiexec;
  msiexec.exitCode = msiexecCode;
  m.addProgram(kMsiexec, msiexec);
}

fake::Process productProcess(DWORD pid, const std::string& baseName) {
  fake::Process p;
  p.pid = pid;
  p.imageName = "\\Device\\HarddiskVolume3\\Program Files\\Tovik\\" + baseName;
  return p;
}

class CleanupRunTest : public MachineTest {
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
    EXPECT_EQ(box.caption, "Tovik");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  }
};

TEST_F(CleanupRunTest, NothingInstalledShowsTheNothingFoundBox) {
  std::string out;
  EXPECT_EQ(run(out), 0);

  std::string expected;
  for (const std::string& component : kComponents) {
    expected += missingLine(kRoaming, component);
  }
  EXPECT_EQ(out, expected);
  expectOneMessageBox("No Tovik Components found to uninstall");

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
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
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
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
}

// No Windows Installer: the product phase says why, and the run still ends
// with its summary.
TEST_F(CleanupRunTest, WithoutTheWindowsInstallerTheRunGoesOn) {
  machine().failLibraryLoad("msi.dll", fake::kErrorModNotFound);
  installStarter(machine());
  machine().addUninstaller(uninstallerOf(kRoaming, "Deploy Client"));

  std::string out;
  EXPECT_EQ(run(out), 0);

  std::string expected;
  for (const std::string& component : kComponents) {
    expected += component == "Deploy Client" ? removedLines(kRoaming, component)
                                             : missingLine(kRoaming, component);
  }
  const std::string summary =
      "Uninstallation of Deploy Client, completed\n"
      "Tovik Workspace Starter could not be looked for";
  expected +=
      "Windows Installer (msi.dll) could not be loaded. Error:126\n"
      "\n" +
      summary + "\n";
  EXPECT_EQ(out, expected);
  expectOneMessageBox(summary);
}

TEST_F(CleanupRunTest, RunsThePhasesInOrderAndNamesEverythingInTheSummary) {
  machine().addProcess(productProcess(1200, "TovikWorkspaceStarter.exe"));
  for (const std::string& component : kComponents) {
    machine().addUninstaller(uninstallerOf(kRoaming, component));
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  const std::string summary =
      "Uninstallation of Tovik Hosted Apps Client, Tovik Remote Desk Client, "
      "Device Inspector, Deploy Client, Tovik Workspace Starter, completed";
  std::string expected =
      "Terminating TovikWorkspaceStarter.exe(1200)\n"
      "TerminateProcess result:1 and exitcode:0,0 \n";
  for (const std::string& component : kComponents) {
    expected += removedLines(kRoaming, component);
  }
  expected += starterLines(0, "completed");
  expected += "\n" + summary + "\n";
  EXPECT_EQ(out, expected);
  expectOneMessageBox(summary);
}

struct SummaryCase {
  const char* name;
  void (*plant)(fake::Machine&);
  std::string summary;
};

class SummaryTest : public CleanupRunTest,
                    public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(SummaryTest, PrintsAndShowsEveryLineThatApplies) {
  GetParam().plant(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_THAT(out, EndsWith("\n\n" + GetParam().summary + "\n"));
  expectOneMessageBox(GetParam().summary);
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, SummaryTest,
    ::testing::Values(
        SummaryCase{"OnlyTheProduct",
                    [](fake::Machine& m) { installStarter(m); },
                    "Uninstallation of Tovik Workspace Starter, completed"},
        // An uninstaller that is not a program cannot be started.
        SummaryCase{"OnlyAFailure",
                    [](fake::Machine& m) {
                      m.addFile(uninstallerOf(kRoaming, "Deploy Client"));
                    },
                    "Uninstallation of Deploy Client, did not complete"},
        SummaryCase{
            "BothLines",
            [](fake::Machine& m) {
              m.addUninstaller(
                  uninstallerOf(kRoaming, "Tovik Remote Desk Client"));
              m.addFile(uninstallerOf(kRoaming, "Device Inspector"));
              m.addUninstaller(uninstallerOf(kRoaming, "Deploy Client"));
              installStarter(m, 1603);
            },
            "Uninstallation of Tovik Remote Desk Client, Deploy Client, "
            "completed\n"
            "Uninstallation of Device Inspector, Tovik Workspace Starter, did "
            "not complete"},
        // A per-machine installation needs an elevated run: a quiet msiexec
        // cannot ask for elevation, and ends with 1603 (Wine has no UAC to
        // show this).
        SummaryCase{"PerMachineStarterWithoutElevation",
                    [](fake::Machine& m) { installStarter(m, 1603, "1"); },
                    "Uninstallation of Tovik Workspace Starter, did not "
                    "complete"},
        // Phases that never looked must not pass for having found nothing.
        SummaryCase{"FolderLookupFailedAlone",
                    [](fake::Machine& m) {
                      m.failRoamingFolderLookup(fake::kPathNotFoundResult);
                    },
                    "Per-user Tovik Components could not be looked for"},
        SummaryCase{"NoWindowsInstallerAlone",
                    [](fake::Machine& m) {
                      installStarter(m);
                      m.failLibraryLoad("msi.dll", fake::kErrorModNotFound);
                    },
                    "Tovik Workspace Starter could not be looked for"},
        SummaryCase{"ProductListUnreadableBeforeTheStarter",
                    [](fake::Machine& m) {
                      installStarter(m);
                      m.failProductEnumeration(0, fake::kErrorBadConfiguration);
                    },
                    "Tovik Workspace Starter could not be looked for"},
        // Once the Starter is found, the rest of the list does not matter.
        SummaryCase{"ProductListUnreadableAfterTheStarter",
                    [](fake::Machine& m) {
                      installStarter(m);
                      m.failProductEnumeration(1, fake::kErrorBadConfiguration);
                    },
                    "Uninstallation of Tovik Workspace Starter, completed"},
        SummaryCase{"RestartNeeded",
                    [](fake::Machine& m) { installStarter(m, 3010); },
                    "Uninstallation of Tovik Workspace Starter, completed\n"
                    "Restart Windows to finish the uninstallation"},
        // 1641: msiexec has started the restart itself.
        SummaryCase{"RestartStarted",
                    [](fake::Machine& m) { installStarter(m, 1641); },
                    "Uninstallation of Tovik Workspace Starter, completed"},
        // Lines that can stand together, in their order.
        SummaryCase{"ComponentsAndNoWindowsInstaller",
                    [](fake::Machine& m) {
                      m.addFile(uninstallerOf(kRoaming, "Device Inspector"));
                      m.addUninstaller(
                          uninstallerOf(kRoaming, "Deploy Client"));
                      m.failLibraryLoad("msi.dll", fake::kErrorModNotFound);
                    },
                    "Uninstallation of Deploy Client, completed\n"
                    "Uninstallation of Device Inspector, did not complete\n"
                    "Tovik Workspace Starter could not be looked for"},
        SummaryCase{"NoFolderAndRestartNeeded",
                    [](fake::Machine& m) {
                      m.failRoamingFolderLookup(fake::kPathNotFoundResult);
                      installStarter(m, 3010);
                    },
                    "Uninstallation of Tovik Workspace Starter, completed\n"
                    "Per-user Tovik Components could not be looked for\n"
                    "Restart Windows to finish the uninstallation"},
        SummaryCase{"NeitherPhaseCouldLook",
                    [](fake::Machine& m) {
                      m.failRoamingFolderLookup(fake::kPathNotFoundResult);
                      m.removeExport("MsiGetProductInfoA");
                    },
                    "Per-user Tovik Components could not be looked for\n"
                    "Tovik Workspace Starter could not be looked for"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CleanupRunTest, AFailedFolderLookupSkipsOnlyTheComponents) {
  machine().failRoamingFolderLookup(fake::kPathNotFoundResult);
  for (const std::string& component : kComponents) {
    machine().addUninstaller(uninstallerOf(kRoaming, component));
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  const std::string summary =
      "Uninstallation of Tovik Workspace Starter, completed\n"
      "Per-user Tovik Components could not be looked for";
  EXPECT_EQ(out,
            "SHGetKnownFolderPath() failed for "
            "FOLDERID_RoamingAppData(%APPDATA%). Error:-2147024893.\n" +
                starterLines(0, "completed") + "\n" + summary + "\n");
  EXPECT_THAT(machine().createFileCalls, IsEmpty());
  expectOneMessageBox(summary);
}

TEST_F(CleanupRunTest, AFailedProcessListDoesNotStopTheRun) {
  machine().failProcessEnumeration(fake::kErrorAccessDenied);
  machine().addUninstaller(uninstallerOf(kRoaming, "Device Inspector"));

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_EQ(out, "EnumProcesses() failed. Error:5\n" +
                     missingLine(kRoaming, "Tovik Hosted Apps Client") +
                     missingLine(kRoaming, "Tovik Remote Desk Client") +
                     removedLines(kRoaming, "Device Inspector") +
                     missingLine(kRoaming, "Deploy Client") +
                     "\nUninstallation of Device Inspector, completed\n");
}

constexpr wchar_t kIvanRoaming[] =
    L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\Roaming";

struct UnrepresentableCase {
  const char* name;
  UINT codePage;
  std::wstring roaming;
  int failingConversionCall;  // 0: none
  // How the volume answers for the folder's short name; null: it hands the
  // long path back, as for a path whose names are all 8.3 already.
  void (*shortName)(fake::Machine&);
  // Where a lossy, shortened or unusable path would lead; an uninstaller is
  // planted in each, and none may be touched.
  std::vector<std::string> traps;
};

class UnrepresentablePathTest
    : public CleanupRunTest,
      public ::testing::WithParamInterface<UnrepresentableCase> {};

TEST_P(UnrepresentablePathTest, SkipsTheComponentsAndNeverLooksAnywhereElse) {
  const UnrepresentableCase& row = GetParam();
  machine().setAnsiCodePage(row.codePage);
  machine().setRoamingFolder(row.roaming);
  if (row.failingConversionCall != 0) {
    machine().failConversion(row.failingConversionCall,
                             fake::kErrorInsufficientBuffer);
  }
  if (row.shortName != nullptr) {
    row.shortName(machine());
  }
  for (const std::string& trap : row.traps) {
    for (const std::string& component : kComponents) {
      machine().addUninstaller(uninstallerOf(trap, component));
    }
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  const std::string summary =
      "Uninstallation of Tovik Workspace Starter, completed\n"
      "Per-user Tovik Components could not be looked for";
  EXPECT_EQ(out,
            "FOLDERID_RoamingAppData(%APPDATA%) path cannot be represented in "
            "the ANSI code page, skipping per-user components.\n" +
                starterLines(0, "completed") + "\n" + summary + "\n");
  EXPECT_THAT(machine().createFileCalls, IsEmpty());
  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(machine().createProcessCalls[0].applicationName,
            std::optional<std::string>(kMsiexec));
  expectOneMessageBox(summary);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnrepresentablePathTest,
    ::testing::Values(
        UnrepresentableCase{"CyrillicUnderWestern",
                            fake::kCodePageWestern,
                            kIvanRoaming,
                            0,
                            nullptr,
                            {"", "C:\\Users\\????\\AppData\\Roaming"}},
        // Windows would quietly write L for it unless told not to.
        UnrepresentableCase{"LetterWithALookAlikeUnderWestern",
                            fake::kCodePageWestern,
                            L"C:\\Users\\\u0141ukasz\\AppData\\Roaming",
                            0,
                            nullptr,
                            {"", "C:\\Users\\Lukasz\\AppData\\Roaming",
                             "C:\\Users\\?ukasz\\AppData\\Roaming"}},
        UnrepresentableCase{"AccentedLatinUnderCyrillic",
                            fake::kCodePageCyrillic,
                            L"C:\\Users\\Ren\u00e9\\AppData\\Roaming",
                            0,
                            nullptr,
                            {"", "C:\\Users\\Rene\\AppData\\Roaming",
                             "C:\\Users\\Ren?\\AppData\\Roaming"}},
        UnrepresentableCase{"SizeQueryFails",
                            fake::kCodePageWestern,
                            L"C:\\Users\\user1\\AppData\\Roaming",
                            1,
                            nullptr,
                            {""}},
        UnrepresentableCase{"ConversionFails",
                            fake::kCodePageWestern,
                            L"C:\\Users\\user1\\AppData\\Roaming",
                            2,
                            nullptr,
                            {""}},
        // The short name cannot stand in for it either.
        UnrepresentableCase{"ShortNameLookupFails",
                            fake::kCodePageWestern,
                            kIvanRoaming,
                            0,
                            [](fake::Machine& m) {
                              m.setShortPath(
                                  kIvanRoaming,
                                  L"C:\\Users\\____~1\\AppData\\Roaming");
                              m.failShortPathLookup(fake::kErrorAccessDenied);
                            },
                            {"", "C:\\Users\\____~1\\AppData\\Roaming"}},
        UnrepresentableCase{"VolumeWithoutShortNames",
                            fake::kCodePageWestern,
                            kIvanRoaming,
                            0,
                            [](fake::Machine& m) {
                              m.setShortPath(
                                  kIvanRoaming,
                                  L"C:\\Users\\____~1\\AppData\\Roaming");
                              m.withoutShortNames();
                            },
                            {"", "C:\\Users\\????\\AppData\\Roaming",
                             "C:\\Users\\____~1\\AppData\\Roaming"}},
        UnrepresentableCase{
            "ShortNameDoesNotFit",
            fake::kCodePageWestern,
            kIvanRoaming,
            0,
            [](fake::Machine& m) {
              m.setShortPath(kIvanRoaming, L"C:\\" + std::wstring(40000, L'S'));
            },
            {""}},
        UnrepresentableCase{"ShortNameStillOutsideTheCodePage",
                            fake::kCodePageWestern,
                            kIvanRoaming,
                            0,
                            [](fake::Machine& m) {
                              m.setShortPath(
                                  kIvanRoaming,
                                  L"C:\\Users\\\u0418\u0412\u0410\u041d~1\\"
                                  L"AppData\\Roaming");
                            },
                            {"", "C:\\Users\\????~1\\AppData\\Roaming"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ShortNameCase {
  const char* name;
  std::wstring roaming;
  std::wstring shortRoaming;
  std::string narrowShortRoaming;
  // Where the long name would lead if it were narrowed with loss.
  std::string lossyRoaming;
};

class ShortNamePathTest : public CleanupRunTest,
                          public ::testing::WithParamInterface<ShortNameCase> {
};

// A user name that the ANSI code page cannot spell is reached through the
// folder's 8.3 name, which the narrow calls can.
TEST_P(ShortNamePathTest, FindsTheComponentsUnderTheShortName) {
  const ShortNameCase& row = GetParam();
  machine().setAnsiCodePage(fake::kCodePageWestern);
  machine().setRoamingFolder(row.roaming);
  machine().setShortPath(row.roaming, row.shortRoaming);
  machine().addUninstaller(
      uninstallerOf(row.narrowShortRoaming, "Device Inspector"));
  for (const std::string& trap : {std::string(), row.lossyRoaming}) {
    for (const std::string& component : kComponents) {
      machine().addUninstaller(uninstallerOf(trap, component));
    }
  }

  std::string out;
  EXPECT_EQ(run(out), 0);

  const std::string& root = row.narrowShortRoaming;
  EXPECT_EQ(out, missingLine(root, "Tovik Hosted Apps Client") +
                     missingLine(root, "Tovik Remote Desk Client") +
                     removedLines(root, "Device Inspector") +
                     missingLine(root, "Deploy Client") +
                     "\nUninstallation of Device Inspector, completed\n");
  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(
      machine().createProcessCalls[0].applicationName,
      std::optional<std::string>(uninstallerOf(root, "Device Inspector")));
  expectOneMessageBox("Uninstallation of Device Inspector, completed");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ShortNamePathTest,
    ::testing::Values(ShortNameCase{"CyrillicUserName", kIvanRoaming,
                                    L"C:\\Users\\____~1\\AppData\\Roaming",
                                    "C:\\Users\\____~1\\AppData\\Roaming",
                                    "C:\\Users\\????\\AppData\\Roaming"},
                      ShortNameCase{
                          "ChineseLastFolder", L"D:\\Profiles\\\u5f20\u4f1f",
                          L"D:\\Profiles\\3F2A~1", "D:\\Profiles\\3F2A~1",
                          "D:\\Profiles\\??"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CodePageCase {
  const char* name;
  UINT codePage;
  std::wstring roaming;
  std::string narrowRoaming;  // in the code page's bytes
};

class CodePagePathTest : public CleanupRunTest,
                         public ::testing::WithParamInterface<CodePageCase> {};

// The narrow calls read paths in the ANSI code page, so that is what the
// roaming folder is converted to, whatever it is.
TEST_P(CodePagePathTest, FindsTheComponentsUnderTheConvertedPath) {
  const CodePageCase& row = GetParam();
  machine().setAnsiCodePage(row.codePage);
  machine().setRoamingFolder(row.roaming);
  machine().addUninstaller(
      uninstallerOf(row.narrowRoaming, "Device Inspector"));

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_EQ(out,
            missingLine(row.narrowRoaming, "Tovik Hosted Apps Client") +
                missingLine(row.narrowRoaming, "Tovik Remote Desk Client") +
                removedLines(row.narrowRoaming, "Device Inspector") +
                missingLine(row.narrowRoaming, "Deploy Client") +
                "\nUninstallation of Device Inspector, completed\n");
  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(machine().createProcessCalls[0].applicationName,
            std::optional<std::string>(
                uninstallerOf(row.narrowRoaming, "Device Inspector")));
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, CodePagePathTest,
    ::testing::Values(
        CodePageCase{"LatinOneUnderWestern", fake::kCodePageWestern,
                     L"C:\\Users\\Ren\u00e9\\AppData\\Roaming",
                     "C:\\Users\\Ren\xe9\\AppData\\Roaming"},
        CodePageCase{"CyrillicUnderCyrillic", fake::kCodePageCyrillic,
                     L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\Roaming",
                     "C:\\Users\\\xc8\xe2\xe0\xed\\AppData\\Roaming"},
        CodePageCase{"CyrillicUnderUtf8", fake::kCodePageUtf8,
                     L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\Roaming",
                     "C:\\Users\\\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\\AppData\\"
                     "Roaming"}),
    [](const auto& info) { return std::string(info.param.name); });

struct WindowStationCase {
  const char* name;
  void (*plant)(fake::Machine&);
  bool boxShown;
};

class WindowStationTest : public CleanupRunTest,
                          public ::testing::WithParamInterface<
                              std::tuple<WindowStationCase, bool>> {};

// Where nobody sees the desktop the box would wait for ever, and so would
// the deployment that started the program: the console gets its text and
// the run ends. Only a station known to be hidden does that.
TEST_P(WindowStationTest, ShowsTheBoxOnlyWhereSomebodyCanSeeIt) {
  const auto& [row, starterInstalled] = GetParam();
  row.plant(machine());
  std::string summary = "No Tovik Components found to uninstall";
  if (starterInstalled) {
    installStarter(machine());
    summary = "Uninstallation of Tovik Workspace Starter, completed";
  }

  std::string out;
  EXPECT_EQ(run(out), 0);

  std::string expected;
  for (const std::string& component : kComponents) {
    expected += missingLine(kRoaming, component);
  }
  if (starterInstalled) {
    expected += starterLines(0, "completed");
  }
  if (starterInstalled || !row.boxShown) {
    expected += "\n" + summary + "\n";
  }
  if (!row.boxShown) {
    expected += "No interactive desktop: message box not shown\n";
  }
  EXPECT_EQ(out, expected);
  // Asked right before the box, so that nothing the run did can change the
  // answer afterwards.
  const std::vector<std::string>& calls = machine().calls;
  const std::vector<std::string> closing = {"GetProcessWindowStation",
                                            "GetUserObjectInformationA"};
  const auto asked =
      std::search(calls.begin(), calls.end(), closing.begin(), closing.end());
  if (row.boxShown) {
    expectOneMessageBox(summary);
    EXPECT_EQ(calls.back(), "MessageBoxA");
  } else {
    EXPECT_THAT(machine().messageBoxes, IsEmpty());
    EXPECT_EQ(calls.end() - asked, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stations, WindowStationTest,
    ::testing::Combine(
        ::testing::Values(
            WindowStationCase{"Visible", [](fake::Machine&) {}, true},
            WindowStationCase{"Hidden",
                              [](fake::Machine& m) { m.hideWindowStation(); },
                              false},
            // Not known to be hidden: the box, as on any desktop.
            WindowStationCase{"StationUnknown",
                              [](fake::Machine& m) {
                                m.hideWindowStation();
                                m.failProcessWindowStation(
                                    fake::kErrorAccessDenied);
                              },
                              true},
            WindowStationCase{"FlagsUnreadable",
                              [](fake::Machine& m) {
                                m.hideWindowStation();
                                m.failUserObjectInformation(
                                    fake::kErrorAccessDenied);
                              },
                              true}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "WithASummary" : "WithNothingFound");
    });

}  // namespace

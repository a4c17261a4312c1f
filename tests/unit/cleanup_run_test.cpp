#include "cleanup/cleanup_run.h"

#include <string>
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

void installStarter(fake::Machine& m, DWORD msiexecCode = 0) {
  fake::Product starter;
  starter.code = kStarterCode;
  starter.name = "Tovik Workspace Starter";
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
  expected +=
      "Windows Installer (msi.dll) could not be loaded. Error:126\n"
      "\nUninstallation of Deploy Client, completed\n";
  EXPECT_EQ(out, expected);
  expectOneMessageBox("Uninstallation of Deploy Client, completed");
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

TEST_P(SummaryTest, PrintsAndShowsWhatCompletedAndWhatDidNot) {
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
            "not complete"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CleanupRunTest, AFailedFolderLookupSkipsOnlyTheComponents) {
  machine().failRoamingFolderLookup(fake::kPathNotFoundResult);
  for (const std::string& component : kComponents) {
    machine().addUninstaller(uninstallerOf(kRoaming, component));
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_EQ(out,
            "SHGetKnownFolderPath() failed for "
            "FOLDERID_RoamingAppData(%APPDATA%). Error:-2147024893.\n" +
                starterLines(0, "completed") +
                "\nUninstallation of Tovik Workspace Starter, completed\n");
  EXPECT_THAT(machine().createFileCalls, IsEmpty());
  expectOneMessageBox("Uninstallation of Tovik Workspace Starter, completed");
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

struct UnrepresentableCase {
  const char* name;
  UINT codePage;
  std::wstring roaming;
  int failingConversionCall;  // 0: none
  // Where a lossy or shortened path would lead; an uninstaller is planted
  // in each, and none may be touched.
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
  for (const std::string& trap : row.traps) {
    for (const std::string& component : kComponents) {
      machine().addUninstaller(uninstallerOf(trap, component));
    }
  }
  installStarter(machine());

  std::string out;
  EXPECT_EQ(run(out), 0);

  EXPECT_EQ(out,
            "FOLDERID_RoamingAppData(%APPDATA%) path cannot be represented in "
            "the ANSI code page, skipping per-user components.\n" +
                starterLines(0, "completed") +
                "\nUninstallation of Tovik Workspace Starter, completed\n");
  EXPECT_THAT(machine().createFileCalls, IsEmpty());
  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(machine().createProcessCalls[0].applicationName,
            std::optional<std::string>(kMsiexec));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnrepresentablePathTest,
    ::testing::Values(
        UnrepresentableCase{"CyrillicUnderWestern",
                            fake::kCodePageWestern,
                            L"C:\\Users\\\u0418\u0432\u0430\u043d\\AppData\\"
                            L"Roaming",
                            0,
                            {"", "C:\\Users\\????\\AppData\\Roaming"}},
        // Windows would quietly write L for it unless told not to.
        UnrepresentableCase{"LetterWithALookAlikeUnderWestern",
                            fake::kCodePageWestern,
                            L"C:\\Users\\\u0141ukasz\\AppData\\Roaming",
                            0,
                            {"", "C:\\Users\\Lukasz\\AppData\\Roaming",
                             "C:\\Users\\?ukasz\\AppData\\Roaming"}},
        UnrepresentableCase{"AccentedLatinUnderCyrillic",
                            fake::kCodePageCyrillic,
                            L"C:\\Users\\Ren\u00e9\\AppData\\Roaming",
                            0,
                            {"", "C:\\Users\\Rene\\AppData\\Roaming",
                             "C:\\Users\\Ren?\\AppData\\Roaming"}},
        UnrepresentableCase{"SizeQueryFails",
                            fake::kCodePageWestern,
                            L"C:\\Users\\user1\\AppData\\Roaming",
                            1,
                            {""}},
        UnrepresentableCase{"ConversionFails",
                            fake::kCodePageWestern,
                            L"C:\\Users\\user1\\AppData\\Roaming",
                            2,
                            {""}}),
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

}  // namespace

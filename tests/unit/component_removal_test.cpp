#include "removal/component_removal.h"

#include <string>

#include "machine_test.h"

namespace {

using ::testing::IsEmpty;

constexpr char kAppData[] = "C:\\Users\\user1\\AppData\\Roaming";
constexpr char kComponentFolder[] =
    "C:\\Users\\user1\\AppData\\Roaming\\Tovik\\Device Inspector";
constexpr char kUninstaller[] =
    "C:\\Users\\user1\\AppData\\Roaming\\Tovik\\Device "
    "Inspector\\uninstall.exe";

class ComponentRemovalTest : public MachineTest {};

TEST_F(ComponentRemovalTest, APresentUninstallerIsStartedWithSlashS) {
  fake::Program program;
  program.exitCode = 0;
  machine().addUninstaller(kUninstaller, program);

  const std::string out =
      captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

  EXPECT_EQ(out, std::string("Un-installing Device Inspector...\n") +
                     " Launching " + kUninstaller +
                     "  /S\n"
                     "launchAndWait() got a return code:0\n"
                     "Uninstallation of Device Inspector completed\n");
  EXPECT_EQ(uninstalledNames, "Device Inspector, ");
  EXPECT_EQ(notCompletedNames, "");

  // Looked at by opening it for reading, locking nobody else out.
  ASSERT_EQ(machine().createFileCalls.size(), 1u);
  const fake::CreateFileCall& open = machine().createFileCalls[0];
  EXPECT_EQ(open.path, kUninstaller);
  EXPECT_EQ(open.desiredAccess, GENERIC_READ);
  EXPECT_EQ(open.shareMode,
            static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE));
  EXPECT_EQ(open.creationDisposition, static_cast<DWORD>(OPEN_EXISTING));

  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(machine().createProcessCalls[0].applicationName,
            std::optional<std::string>(kUninstaller));
  EXPECT_EQ(machine().createProcessCalls[0].commandLine,
            std::optional<std::string>(" /S"));
}

struct AbsentUninstaller {
  const char* name;
  void (*plant)(fake::Machine&);
};

class ComponentAbsentTest
    : public MachineTest,
      public ::testing::WithParamInterface<AbsentUninstaller> {};

TEST_P(ComponentAbsentTest, CountsAsAbsentAndIsNeitherStartedNorRecorded) {
  GetParam().plant(machine());

  const std::string out =
      captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

  EXPECT_EQ(out,
            std::string("UninstallFile:") + kUninstaller + " does not exist\n");
  EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  EXPECT_EQ(uninstalledNames, "");
  EXPECT_EQ(notCompletedNames, "");
}

INSTANTIATE_TEST_SUITE_P(
    Uninstallers, ComponentAbsentTest,
    ::testing::Values(
        AbsentUninstaller{"NoTovikFolder", [](fake::Machine&) {}},
        AbsentUninstaller{"FolderWithoutUninstaller",
                          [](fake::Machine& m) {
                            m.addFile(std::string(kComponentFolder) +
                                      "\\settings.ini");
                          }},
        AbsentUninstaller{"FolderNamedUninstallExe",
                          [](fake::Machine& m) { m.addFolder(kUninstaller); }},
        // It could be started, but it cannot be read, so it is not there.
        AbsentUninstaller{"ExistsButCannotBeRead",
                          [](fake::Machine& m) {
                            m.addProgram(kUninstaller, fake::Program{});
                            m.addUnreadableFile(kUninstaller,
                                                fake::kErrorAccessDenied);
                          }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComponentRemovalTest,
       AnUninstallerThatCannotStartIsReportedAsNotCompleted) {
  // Present and readable, but not a program.
  machine().addFile(kUninstaller);

  const std::string out =
      captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

  EXPECT_EQ(out, std::string("Un-installing Device Inspector...\n") +
                     " Launching " + kUninstaller + "  /S\n" +
                     "CreateProcess(" + kUninstaller +
                     "   /S ) failed 193\n"
                     "Uninstallation of Device Inspector did not complete\n");
  EXPECT_EQ(uninstalledNames, "");
  EXPECT_EQ(notCompletedNames, "Device Inspector, ");
}

struct StartedUninstaller {
  const char* name;
  fake::Program program;
  std::string returnCodeLine;
};

class ComponentStartedTest
    : public MachineTest,
      public ::testing::WithParamInterface<StartedUninstaller> {};

// A component uninstaller's exit code means nothing agreed, and one still
// running may yet finish: once started, the removal counts as completed.
TEST_P(ComponentStartedTest, CountsAsCompletedWhateverItReturned) {
  machine().addUninstaller(kUninstaller, GetParam().program);

  const std::string out =
      captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

  EXPECT_EQ(out, std::string("Un-installing Device Inspector...\n") +
                     " Launching " + kUninstaller + "  /S\n" +
                     GetParam().returnCodeLine +
                     "Uninstallation of Device Inspector completed\n");
  EXPECT_EQ(uninstalledNames, "Device Inspector, ");
  EXPECT_EQ(notCompletedNames, "");
}

fake::Program uninstallerProgram(DWORD exitCode, DWORD runsFor,
                                 DWORD exitCodeReadError) {
  fake::Program program;
  program.exitCode = exitCode;
  program.runsForMilliseconds = runsFor;
  program.exitCodeReadError = exitCodeReadError;
  return program;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ComponentStartedTest,
    ::testing::Values(
        StartedUninstaller{"NonZeroExitCode", uninstallerProgram(2, 500, 0),
                           "launchAndWait() got a return code:2\n"},
        StartedUninstaller{"StillRunningAfterTheWait",
                           uninstallerProgram(0, 60000, 0),
                           "launchAndWait() got a return code:259\n"},
        StartedUninstaller{
            "ExitCodeUnreadable",
            uninstallerProgram(0, 500, fake::kErrorInvalidHandle),
            "launchAndWait() could not read the return code. Error:6\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

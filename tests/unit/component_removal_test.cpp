#include "removal/component_removal.h"

#include <optional>
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

  captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

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

// What happens once the uninstaller is there: no program is present as
// readable file only. A component uninstaller's exit code means nothing
// agreed, and one still running may yet finish: once started, the removal
// counts as completed; only one that could not start did not complete.
struct TriedUninstaller {
  const char* name;
  std::optional<fake::Program> program;  // none: a file that is no program
  std::string launchResult;
  bool completed;
};

class ComponentTriedTest
    : public MachineTest,
      public ::testing::WithParamInterface<TriedUninstaller> {};

TEST_P(ComponentTriedTest, CountsAsCompletedOnlyWhenItStarted) {
  const TriedUninstaller& row = GetParam();
  if (row.program) {
    machine().addUninstaller(kUninstaller, *row.program);
  } else {
    machine().addFile(kUninstaller);
  }

  const std::string out =
      captureStdout([] { uninstallComponent(kAppData, "Device Inspector"); });

  EXPECT_EQ(out, std::string("Un-installing Device Inspector...\n") +
                     " Launching " + kUninstaller + "  /S\n" +
                     row.launchResult + "Uninstallation of Device Inspector " +
                     (row.completed ? "completed" : "did not complete") + "\n");
  EXPECT_EQ(uninstalledNames, row.completed ? "Device Inspector, " : "");
  EXPECT_EQ(notCompletedNames, row.completed ? "" : "Device Inspector, ");
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
    Outcomes, ComponentTriedTest,
    ::testing::Values(
        TriedUninstaller{"ExitCodeZero", uninstallerProgram(0, 500, 0),
                         "launchAndWait() got a return code:0\n", true},
        TriedUninstaller{"NonZeroExitCode", uninstallerProgram(2, 500, 0),
                         "launchAndWait() got a return code:2\n", true},
        TriedUninstaller{"StillRunningAfterTheWait",
                         uninstallerProgram(0, 60000, 0),
                         "launchAndWait() got a return code:259\n", true},
        TriedUninstaller{
            "ExitCodeUnreadable",
            uninstallerProgram(0, 500, fake::kErrorInvalidHandle),
            "launchAndWait() could not read the return code. Error:6\n", true},
        TriedUninstaller{"NotAProgram", std::nullopt,
                         std::string("CreateProcess(") + kUninstaller +
                             "   /S ) failed 193\n",
                         false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

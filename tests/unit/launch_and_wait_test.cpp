#include "removal/launch_and_wait.h"

#include <optional>
#include <string>

#include "machine_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kUninstaller[] =
    "C:\\Users\\user1\\AppData\\Roaming\\Tovik\\Deploy Client\\uninstall.exe";

fake::Program exitingWith(DWORD exitCode, DWORD runsForMilliseconds = 1000) {
  fake::Program program;
  program.exitCode = exitCode;
  program.runsForMilliseconds = runsForMilliseconds;
  return program;
}

// The uninstaller started with " /S", as the components are: whether it
// started, the exit code handed back, and what was printed.
struct Launch {
  bool started = false;
  std::optional<DWORD> exitCode;
  std::string out;
};

Launch launchTheUninstaller() {
  Launch launch;
  ::testing::internal::CaptureStdout();
  launch.started = launchAndWait(kUninstaller, " /S", &launch.exitCode);
  launch.out = ::testing::internal::GetCapturedStdout();
  return launch;
}

const std::string kLaunchingLine =
    std::string(" Launching ") + kUninstaller + "  /S\n";

class LaunchAndWaitTest : public MachineTest {};

TEST_F(LaunchAndWaitTest,
       StartsTheChildWithTheArgumentTextAsItsWholeCommandLine) {
  machine().addUninstaller(kUninstaller, exitingWith(3));

  const Launch launch = launchTheUninstaller();

  EXPECT_EQ(launch.out,
            kLaunchingLine + "launchAndWait() got a return code:3\n");
  EXPECT_TRUE(launch.started);
  EXPECT_EQ(launch.exitCode, std::optional<DWORD>(3));

  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  const fake::CreateProcessCall& call = machine().createProcessCalls[0];
  EXPECT_EQ(call.applicationName, std::optional<std::string>(kUninstaller));
  EXPECT_EQ(call.commandLine, std::optional<std::string>(" /S"));
  EXPECT_FALSE(call.processAttributesGiven);
  EXPECT_FALSE(call.threadAttributesGiven);
  EXPECT_EQ(call.inheritHandles, FALSE);
  EXPECT_EQ(call.creationFlags, 0u);
  EXPECT_FALSE(call.environmentGiven);
  EXPECT_EQ(call.currentDirectory, std::nullopt);
  EXPECT_EQ(call.startupInfoSize, sizeof(STARTUPINFOA));
  EXPECT_TRUE(call.startupInfoOtherwiseZero);
  EXPECT_TRUE(call.processInformationZeroed);

  // The wait is on the child's process handle, bounded at ten seconds, and
  // the exit code is read from the same handle afterwards.
  ASSERT_EQ(machine().waitCalls.size(), 1u);
  EXPECT_EQ(machine().waitCalls[0].handle, call.process);
  EXPECT_EQ(machine().waitCalls[0].milliseconds, 10000u);
  EXPECT_THAT(machine().exitCodeCalls, ElementsAre(call.process));
}

struct ChildOutcome {
  const char* name;
  fake::Program program;
  std::string returnCodeLine;
  std::optional<DWORD> exitCode;  // none: it could not be read
};

class LaunchAndWaitOutcomeTest
    : public MachineTest,
      public ::testing::WithParamInterface<ChildOutcome> {};

// Once started, the child counts as started whatever it did.
TEST_P(LaunchAndWaitOutcomeTest, ReportsTheExitCodeSeenAfterTheWait) {
  const ChildOutcome& row = GetParam();
  machine().addUninstaller(kUninstaller, row.program);
  // Whatever an earlier call left behind must not be what gets reported.
  machine().setLastError(4242);

  const Launch launch = launchTheUninstaller();

  EXPECT_EQ(launch.out, kLaunchingLine + row.returnCodeLine);
  EXPECT_TRUE(launch.started);
  EXPECT_EQ(launch.exitCode, row.exitCode);
  // A child that outlives the wait is left alone.
  EXPECT_THAT(machine().terminateCalls, IsEmpty());
}

fake::Program withUnreadableExitCode() {
  fake::Program program = exitingWith(0);
  program.exitCodeReadError = fake::kErrorAccessDenied;
  return program;
}

INSTANTIATE_TEST_SUITE_P(
    Children, LaunchAndWaitOutcomeTest,
    ::testing::Values(
        ChildOutcome{"ExitsWithThree", exitingWith(3),
                     "launchAndWait() got a return code:3\n", 3},
        ChildOutcome{"FinishesJustWithinTheWait", exitingWith(7, 9999),
                     "launchAndWait() got a return code:7\n", 7},
        ChildOutcome{"OutlivesTheWait", exitingWith(0, 15000),
                     "launchAndWait() got a return code:259\n", STILL_ACTIVE},
        // A crash status is 2^31 or more and shows as a negative number.
        ChildOutcome{"Crashes", exitingWith(0xC0000005),
                     "launchAndWait() got a return code:-1073741819\n",
                     0xC0000005},
        ChildOutcome{"ExitCodeUnreadable", withUnreadableExitCode(),
                     "launchAndWait() could not read the return code. "
                     "Error:5\n",
                     std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartFailure {
  const char* name;
  void (*plant)(fake::Machine&);
  DWORD error;
};

class LaunchAndWaitStartFailureTest
    : public MachineTest,
      public ::testing::WithParamInterface<StartFailure> {};

TEST_P(LaunchAndWaitStartFailureTest, ReportsTheErrorAndReturnsFalse) {
  const StartFailure& row = GetParam();
  row.plant(machine());
  // Whatever an earlier call left behind must not be what gets reported.
  machine().setLastError(4242);

  const Launch launch = launchTheUninstaller();

  // Two blanks from the format and one from the argument text.
  EXPECT_EQ(launch.out, kLaunchingLine + "CreateProcess(" + kUninstaller +
                            "   /S ) failed " + std::to_string(row.error) +
                            "\n");
  EXPECT_FALSE(launch.started);
  EXPECT_EQ(launch.exitCode, std::nullopt);
  EXPECT_THAT(machine().waitCalls, IsEmpty());
  EXPECT_THAT(machine().exitCodeCalls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Starts, LaunchAndWaitStartFailureTest,
    ::testing::Values(
        StartFailure{"FileMissingInExistingFolder",
                     [](fake::Machine& m) {
                       m.addFile(
                           "C:\\Users\\user1\\AppData\\Roaming\\Tovik\\"
                           "Deploy Client\\readme.txt");
                     },
                     fake::kErrorFileNotFound},
        StartFailure{"FolderMissing", [](fake::Machine&) {},
                     fake::kErrorPathNotFound},
        StartFailure{"NotAProgram",
                     [](fake::Machine& m) { m.addFile(kUninstaller); },
                     fake::kErrorBadExeFormat},
        StartFailure{"AccessDenied",
                     [](fake::Machine& m) {
                       fake::Program program;
                       program.startError = fake::kErrorAccessDenied;
                       m.addUninstaller(kUninstaller, program);
                     },
                     fake::kErrorAccessDenied}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

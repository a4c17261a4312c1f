#include "removal/launch_and_wait.h"

#include <optional>
#include <string>

#include "machine_test.h"
#include "run_cases.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kUninstaller =
    cases::uninstallerOf(cases::kDefaultRoaming, "Deploy Client");

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
  launch.started =
      launchAndWait(kUninstaller, cases::kComponentArguments, &launch.exitCode);
  launch.out = ::testing::internal::GetCapturedStdout();
  return launch;
}

const std::string kLaunchingLine =
    cases::launchLine(kUninstaller, cases::kComponentArguments);

class LaunchAndWaitTest : public MachineTest {};

TEST_F(LaunchAndWaitTest,
       StartsTheChildWithTheArgumentTextAsItsWholeCommandLine) {
  fake::Program program;
  program.exitCode = 3;
  machine().addUninstaller(kUninstaller, program);

  const Launch launch = launchTheUninstaller();

  EXPECT_EQ(launch.out, kLaunchingLine + cases::returnCodeLine(3));
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
  EXPECT_EQ(machine().waitCalls[0].milliseconds, cases::kWaitMilliseconds);
  EXPECT_THAT(machine().exitCodeCalls, ElementsAre(call.process));
}

using LaunchAndWaitOutcomeTest = RowTest<cases::Uninstaller>;

// Whatever lies at the path: once started, the child counts as started
// whatever it did; one that cannot start is reported with the error.
TEST_P(LaunchAndWaitOutcomeTest, ReportsWhatBecameOfTheChild) {
  const cases::Uninstaller& row = GetParam();
  row.plant(machine(), kUninstaller);
  // Whatever an earlier call left behind must not be what gets reported.
  machine().setLastError(4242);

  const Launch launch = launchTheUninstaller();

  // On failure two blanks from the format and one from the argument text.
  EXPECT_EQ(launch.out,
            kLaunchingLine + cases::launchReport(row, kUninstaller,
                                                 cases::kComponentArguments));
  EXPECT_EQ(launch.started, row.startError == 0);
  EXPECT_EQ(launch.exitCode, row.exitCode);
  if (row.startError != 0) {
    EXPECT_THAT(machine().waitCalls, IsEmpty());
    EXPECT_THAT(machine().exitCodeCalls, IsEmpty());
  }
  // A child that outlives the wait is left alone.
  EXPECT_THAT(machine().terminateCalls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Children, LaunchAndWaitOutcomeTest,
                         ::testing::ValuesIn(cases::kUninstallers),
                         cases::RowName());

}  // namespace

#include "sweep/process_sweep.h"

#include <string>
#include <vector>

#include "machine_test.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::IsEmpty;

constexpr char kProductFolder[] =
    "\\Device\\HarddiskVolume3\\Program Files (x86)\\Tovik\\";

fake::Process process(DWORD pid, const std::string& imageName) {
  fake::Process p;
  p.pid = pid;
  p.imageName = imageName;
  return p;
}

fake::Process productProcess(DWORD pid, const std::string& baseName) {
  return process(pid, kProductFolder + baseName);
}

class ProcessSweepTest : public MachineTest {};

TEST_F(ProcessSweepTest, TerminatesEveryRunningInstanceInListOrder) {
  machine().addProcess(process(0, ""));  // the idle process
  fake::Process system = process(4, "");
  system.openError = fake::kErrorAccessDenied;
  machine().addProcess(system);
  machine().addProcess(productProcess(1200, "tvRemoteDesk.exe"));
  machine().addProcess(
      process(1300, "\\Device\\HarddiskVolume3\\Windows\\explorer.exe"));
  fake::Process goingDown = productProcess(1400, "tvRemoteDesk.exe");
  goingDown.exitCodeAfterTerminate = STILL_ACTIVE;
  machine().addProcess(goingDown);

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out,
            "Terminating tvRemoteDesk.exe(1200)\n"
            "TerminateProcess result:1 and exitcode:0,0 \n"
            "Terminating tvRemoteDesk.exe(1400)\n"
            "TerminateProcess result:1 and exitcode:0,259 \n");
  EXPECT_THAT(machine().terminatedPids(), ElementsAre(1200u, 1400u));

  // Every process but the idle one is opened for query, read and terminate,
  // without handing the handle down to children.
  std::vector<DWORD> openedPids;
  for (const fake::OpenProcessCall& call : machine().openProcessCalls) {
    openedPids.push_back(call.pid);
    EXPECT_EQ(call.desiredAccess, 0x411u);
    EXPECT_EQ(call.inheritHandle, FALSE);
  }
  EXPECT_THAT(openedPids, ElementsAre(4u, 1200u, 1300u, 1400u));
  EXPECT_THAT(machine().terminateCalls,
              Each(Field(&fake::TerminateCall::exitCode, 0u)));
}

struct NameCase {
  const char* name;
  std::string imageName;
  bool terminated;
};

class ProcessNameTest : public MachineTest,
                        public ::testing::WithParamInterface<NameCase> {};

// Only the base name counts, compared whole and case-sensitively.
TEST_P(ProcessNameTest, TerminatesOnlyAnExactBaseNameMatch) {
  const NameCase& row = GetParam();
  machine().addProcess(process(2024, row.imageName));

  const std::string out = captureStdout([] { killProductProcesses(); });

  if (row.terminated) {
    const std::string baseName =
        row.imageName.substr(row.imageName.find_last_of('\\') + 1);
    EXPECT_EQ(out, "Terminating " + baseName +
                       "(2024)\n"
                       "TerminateProcess result:1 and exitcode:0,0 \n");
    EXPECT_THAT(machine().terminatedPids(), ElementsAre(2024u));
  } else {
    EXPECT_EQ(out, "");
    EXPECT_THAT(machine().terminateCalls, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ProcessNameTest,
    ::testing::Values(
        NameCase{"DeviceInspector",
                 std::string(kProductFolder) + "tvDeviceInspector.exe", true},
        NameCase{"ElevatedDeviceInspector",
                 std::string(kProductFolder) + "uacDeviceInspector.exe", true},
        NameCase{"WorkspaceStarter",
                 std::string(kProductFolder) + "TovikWorkspaceStarter.exe",
                 true},
        NameCase{"RemoteDesk", std::string(kProductFolder) + "tvRemoteDesk.exe",
                 true},
        NameCase{"DeployClient",
                 std::string(kProductFolder) + "TovikDeployClient.exe", true},
        NameCase{"NoBackslashComparedWhole", "TovikDeployClient.exe", true},
        NameCase{"UpperCase", std::string(kProductFolder) + "TVREMOTEDESK.EXE",
                 false},
        NameCase{"LowerCase",
                 std::string(kProductFolder) + "tovikdeployclient.exe", false},
        NameCase{"ExtraExtension",
                 std::string(kProductFolder) + "tvRemoteDesk.exe.old", false},
        NameCase{"NamePrefix", std::string(kProductFolder) + "tvRemoteDesk",
                 false},
        NameCase{"SomethingInFront",
                 std::string(kProductFolder) + "old_tvRemoteDesk.exe", false},
        NameCase{"ProductNameOnlyInTheFolder",
                 "\\Device\\HarddiskVolume3\\tvRemoteDesk.exe\\helper.exe",
                 false},
        NameCase{"NoBaseName", std::string(kProductFolder), false},
        NameCase{"NoBackslashOtherName", "tvRemoteDesk.exe2", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct TerminationCase {
  const char* name;
  DWORD terminateError;
  DWORD exitCodeAfterTerminate;
  DWORD exitCodeReadError;
  std::string resultLine;
};

class TerminationOutcomeTest
    : public MachineTest,
      public ::testing::WithParamInterface<TerminationCase> {};

TEST_P(TerminationOutcomeTest, ShowsTheResultAndTheExitCodeReadAtOnce) {
  const TerminationCase& row = GetParam();
  fake::Process target = productProcess(3100, "tvDeviceInspector.exe");
  target.terminateError = row.terminateError;
  target.exitCodeAfterTerminate = row.exitCodeAfterTerminate;
  target.exitCodeReadError = row.exitCodeReadError;
  machine().addProcess(target);

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out, "Terminating tvDeviceInspector.exe(3100)\n" + row.resultLine);
  ASSERT_EQ(machine().openProcessCalls.size(), 1u);
  EXPECT_THAT(machine().exitCodeCalls,
              ElementsAre(machine().openProcessCalls[0].result));
}

INSTANTIATE_TEST_SUITE_P(
    Terminations, TerminationOutcomeTest,
    ::testing::Values(
        TerminationCase{"Gone", 0, 0, 0,
                        "TerminateProcess result:1 and exitcode:0,0 \n"},
        TerminationCase{"StillGoingDown", 0, STILL_ACTIVE, 0,
                        "TerminateProcess result:1 and exitcode:0,259 \n"},
        TerminationCase{"Refused", fake::kErrorAccessDenied, 0, 0,
                        "TerminateProcess result:0 and exitcode:0,259 \n"},
        // The code is set to 0 beforehand, so an unreadable one shows 0.
        TerminationCase{"ExitCodeUnreadable", 0, STILL_ACTIVE,
                        fake::kErrorAccessDenied,
                        "TerminateProcess result:1 and exitcode:0,0 \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A product process the sweep cannot reach comes first in the list; the
// one after it is still terminated.
struct UnreachableCase {
  const char* name;
  DWORD openError;
  DWORD nameError;
  std::string skippedLine;  // what the sweep says of the first
};

class UnreachableProcessTest
    : public MachineTest,
      public ::testing::WithParamInterface<UnreachableCase> {};

TEST_P(UnreachableProcessTest, IsLeftAloneAndTheSweepGoesOn) {
  const UnreachableCase& row = GetParam();
  fake::Process unreachable = productProcess(500, "tvRemoteDesk.exe");
  unreachable.openError = row.openError;
  unreachable.nameError = row.nameError;
  machine().addProcess(unreachable);
  machine().addProcess(productProcess(600, "TovikDeployClient.exe"));

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out, row.skippedLine +
                     "Terminating TovikDeployClient.exe(600)\n"
                     "TerminateProcess result:1 and exitcode:0,0 \n");
  EXPECT_THAT(machine().terminatedPids(), ElementsAre(600u));
}

INSTANTIATE_TEST_SUITE_P(
    Processes, UnreachableProcessTest,
    ::testing::Values(
        // Other users' and protected processes: skipped silently.
        UnreachableCase{"CannotBeOpened", fake::kErrorAccessDenied, 0, ""},
        UnreachableCase{"NameCannotBeRead", 0, fake::kErrorPartialCopy,
                        "Name was empty, skipping....\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A process list that cannot be read, at once or while growing it, ends
// the sweep before any process is opened.
struct ListFailureCase {
  const char* name;
  DWORD processCount;
  int failingCall;
  DWORD error;
};

class ProcessListFailureTest
    : public MachineTest,
      public ::testing::WithParamInterface<ListFailureCase> {};

TEST_P(ProcessListFailureTest, IsReportedWithItsErrorCodeAndEndsTheSweep) {
  const ListFailureCase& row = GetParam();
  for (DWORD i = 0; i < row.processCount; ++i) {
    machine().addProcess(productProcess(8 + 4 * i, "tvRemoteDesk.exe"));
  }
  machine().failProcessEnumeration(row.error, row.failingCall);
  machine().setLastError(4242);

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(
      out, "EnumProcesses() failed. Error:" + std::to_string(row.error) + "\n");
  EXPECT_THAT(machine().openProcessCalls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ProcessListFailureTest,
    ::testing::Values(ListFailureCase{"FirstCall", 1, 1,
                                      fake::kErrorAccessDenied},
                      ListFailureCase{"WhileGrowingTheList", 1500, 2,
                                      fake::kErrorInvalidParameter}),
    [](const auto& info) { return std::string(info.param.name); });

// A terminal server can run far more than a thousand processes; the list
// grows until the system's answer leaves room to spare.
TEST_F(ProcessSweepTest, FindsProductProcessesBeyondTheFirstThousand) {
  for (DWORD position = 0; position < 5000; ++position) {
    const DWORD pid = 8 + 4 * position;
    if (position == 1500 || position == 4999) {
      machine().addProcess(productProcess(pid, "TovikWorkspaceStarter.exe"));
    } else {
      machine().addProcess(process(pid, "\\Device\\HarddiskVolume3\\x.exe"));
    }
  }

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out,
            "Terminating TovikWorkspaceStarter.exe(6008)\n"
            "TerminateProcess result:1 and exitcode:0,0 \n"
            "Terminating TovikWorkspaceStarter.exe(20004)\n"
            "TerminateProcess result:1 and exitcode:0,0 \n");
  EXPECT_EQ(machine().openProcessCalls.size(), 5000u);
  // 1024 ids first, doubling until the answer is not a full buffer.
  EXPECT_THAT(machine().enumProcessesCalls,
              ElementsAre(4096u, 8192u, 16384u, 32768u));
}

// A system that always claims a full list must not make the sweep grow its
// buffer until memory runs out: it stops growing far beyond any real
// system and sweeps what it was given.
TEST_F(ProcessSweepTest, AListThatIsAlwaysFullStopsGrowingAndIsStillSwept) {
  machine().addProcess(productProcess(1100, "tvRemoteDesk.exe"));
  machine().processListAlwaysFull = true;

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out,
            "Terminating tvRemoteDesk.exe(1100)\n"
            "TerminateProcess result:1 and exitcode:0,0 \n");
  ASSERT_FALSE(machine().enumProcessesCalls.empty());
  EXPECT_EQ(machine().enumProcessesCalls.back(), 4u << 20);
  EXPECT_EQ(machine().enumProcessesCalls.size(), 11u);
}

// A product installed deep in a folder tree has a device-form name far past
// MAX_PATH.
TEST_F(ProcessSweepTest, ReadsImageNamesLongerThanMaxPath) {
  std::string deepFolder = "\\Device\\HarddiskVolume3\\Users\\user1\\Apps";
  while (deepFolder.size() < 400) {
    deepFolder += "\\a nested folder";
  }
  machine().addProcess(process(1100, deepFolder + "\\tvRemoteDesk.exe"));

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out,
            "Terminating tvRemoteDesk.exe(1100)\n"
            "TerminateProcess result:1 and exitcode:0,0 \n");
  ASSERT_EQ(machine().imageNameCalls.size(), 1u);
  EXPECT_EQ(machine().imageNameCalls[0].size, 32768u);
}

}  // namespace

#include "sweep/process_sweep.h"

#include <string>
#include <vector>

#include "machine_test.h"
#include "run_cases.h"

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

  EXPECT_EQ(out, cases::terminatingLines("tvRemoteDesk.exe", 1200, true, 0) +
                     cases::terminatingLines("tvRemoteDesk.exe", 1400, true,
                                             STILL_ACTIVE));
  EXPECT_THAT(machine().terminatedPids(), ElementsAre(1200u, 1400u));

  // Every process but the idle one is opened for exactly terminate and
  // limited query, the rights the sweep uses, without handing the handle
  // down to children.
  std::vector<DWORD> openedPids;
  for (const fake::OpenProcessCall& call : machine().openProcessCalls) {
    openedPids.push_back(call.pid);
    EXPECT_EQ(call.desiredAccess, 0x1001u);
    EXPECT_EQ(call.inheritHandle, FALSE);
  }
  EXPECT_THAT(openedPids, ElementsAre(4u, 1200u, 1300u, 1400u));
  EXPECT_THAT(machine().terminateCalls,
              Each(Field(&fake::TerminateCall::exitCode, 0u)));
}

using ProcessNameTest = RowTest<cases::ProcessName>;

// Only the base name counts, compared whole and case-sensitively: made from
// each product executable's name in turn.
TEST_P(ProcessNameTest, TerminatesOnlyAnExactBaseNameMatch) {
  const cases::ProcessName& row = GetParam();
  const cases::ProcessState& running = cases::kProcessStates[0];
  std::string expected;
  std::vector<DWORD> ended;
  DWORD pid = 2024;
  for (const std::string& executable : cases::kProductProcesses) {
    machine().addProcess(process(pid, row.image(executable)));
    expected += cases::sweepLines(row, running, executable, pid);
    if (row.product) ended.push_back(pid);
    pid += 4;
  }

  const std::string out = captureStdout([] { killProductProcesses(); });

  EXPECT_EQ(out, expected);
  EXPECT_EQ(machine().terminatedPids(), ended);
  EXPECT_EQ(machine().terminateCalls.size(), ended.size());
}

INSTANTIATE_TEST_SUITE_P(Names, ProcessNameTest,
                         ::testing::ValuesIn(cases::kProcessNames),
                         cases::RowName());

using ProcessStateTest = RowTest<cases::ProcessState>;

// A product process the sweep cannot reach, or whose termination goes
// wrong, comes first in the list; the one after it is still terminated. The
// exit code shown is read at once from the handle that was opened.
TEST_P(ProcessStateTest, ShowsWhatBecameOfItAndTheSweepGoesOn) {
  const cases::ProcessState& row = GetParam();
  fake::Process first = productProcess(3100, "tvDeviceInspector.exe");
  row.plant(first);
  machine().addProcess(first);
  machine().addProcess(productProcess(3200, "TovikDeployClient.exe"));

  const std::string out = captureStdout([] { killProductProcesses(); });

  const cases::ProcessName& product = cases::kProcessNames[0];
  EXPECT_EQ(
      out, cases::sweepLines(product, row, "tvDeviceInspector.exe", 3100) +
               cases::terminatingLines("TovikDeployClient.exe", 3200, true, 0));
  std::vector<DWORD> ended = {3200};
  if (row.reach == cases::ProcessState::kNamed && row.accepted) {
    ended.insert(ended.begin(), 3100);
  }
  EXPECT_EQ(machine().terminatedPids(), ended);
  const std::vector<fake::OpenProcessCall>& opened = machine().openProcessCalls;
  ASSERT_EQ(opened.size(), 2u);
  std::vector<HANDLE> read = {opened[1].result};
  if (row.reach == cases::ProcessState::kNamed) {
    read.insert(read.begin(), opened[0].result);
  }
  EXPECT_EQ(machine().exitCodeCalls, read);
}

INSTANTIATE_TEST_SUITE_P(States, ProcessStateTest,
                         ::testing::ValuesIn(cases::kProcessStates),
                         cases::RowName());

using ProcessListTest = RowTest<cases::ProcessList>;

// A process list that cannot be read, at once or while growing it, is
// reported with its error code and ends the sweep before any process is
// opened.
TEST_P(ProcessListTest, IsSweptOrReportedWithItsErrorCode) {
  const cases::ProcessList& row = GetParam();
  std::string swept;
  for (DWORD i = 0; i < row.processesNeeded; ++i) {
    const DWORD pid = 8 + 4 * i;
    machine().addProcess(productProcess(pid, "tvRemoteDesk.exe"));
    swept += cases::terminatingLines("tvRemoteDesk.exe", pid, true, 0);
  }
  if (row.failingCall != 0) {
    machine().failProcessEnumeration(row.error, row.failingCall);
  }
  machine().setLastError(4242);

  const std::string out = captureStdout([] { killProductProcesses(); });

  if (row.failingCall == 0) {
    EXPECT_EQ(out, swept);
    EXPECT_EQ(machine().openProcessCalls.size(), row.processesNeeded);
  } else {
    EXPECT_EQ(out, cases::processListFailedLine(row.error));
    EXPECT_THAT(machine().openProcessCalls, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, ProcessListTest,
                         ::testing::ValuesIn(cases::kProcessLists),
                         cases::RowName());

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

  EXPECT_EQ(
      out,
      cases::terminatingLines("TovikWorkspaceStarter.exe", 6008, true, 0) +
          cases::terminatingLines("TovikWorkspaceStarter.exe", 20004, true, 0));
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

  EXPECT_EQ(out, cases::terminatingLines("tvRemoteDesk.exe", 1100, true, 0));
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

  EXPECT_EQ(out, cases::terminatingLines("tvRemoteDesk.exe", 1100, true, 0));
  ASSERT_EQ(machine().imageNameCalls.size(), 1u);
  EXPECT_EQ(machine().imageNameCalls[0].size, 32768u);
}

}  // namespace

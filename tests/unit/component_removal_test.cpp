#include "removal/component_removal.h"

#include <optional>
#include <string>

#include "machine_test.h"
#include "run_cases.h"

namespace {

using ::testing::IsEmpty;

constexpr char kComponent[] = "Device Inspector";
const std::string kUninstaller =
    cases::uninstallerOf(cases::kDefaultRoaming, kComponent);

class ComponentRemovalTest : public MachineTest {};

TEST_F(ComponentRemovalTest, APresentUninstallerIsStartedWithSlashS) {
  machine().addUninstaller(kUninstaller);

  captureStdout([] { uninstallComponent(cases::kDefaultRoaming, kComponent); });

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
            std::optional<std::string>(cases::kComponentArguments));
}

using ComponentUninstallerTest = RowTest<cases::Uninstaller>;

// What is not there is neither started nor recorded; what is there counts
// as completed only when it started.
TEST_P(ComponentUninstallerTest, IsStartedAndRecordedAsItsRowSays) {
  const cases::Uninstaller& row = GetParam();
  row.plant(machine(), kUninstaller);

  const std::string out = captureStdout(
      [] { uninstallComponent(cases::kDefaultRoaming, kComponent); });

  EXPECT_EQ(out,
            cases::componentLines(row, cases::kDefaultRoaming, kComponent));
  const bool completed = row.found && row.startError == 0;
  if (row.found) {
    ASSERT_EQ(machine().createProcessCalls.size(), 1u);
    EXPECT_EQ(machine().createProcessCalls[0].applicationName,
              std::optional<std::string>(kUninstaller));
  } else {
    EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  }
  const std::string recorded = std::string(kComponent) + ", ";
  EXPECT_EQ(uninstalledNames, completed ? recorded : "");
  EXPECT_EQ(notCompletedNames, row.found && !completed ? recorded : "");
}

INSTANTIATE_TEST_SUITE_P(Uninstallers, ComponentUninstallerTest,
                         ::testing::ValuesIn(cases::kUninstallers),
                         cases::RowName());

}  // namespace

#include "removal/installer_product_removal.h"

#include <optional>
#include <string>
#include <vector>

#include "machine_test.h"
#include "run_cases.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using cases::kMsiexec;
using cases::kStarter;
using cases::kStarterCode;

constexpr char kSecondStarterCode[] = "{0B7E93C1-52D4-4F6A-8C2E-FEDCBA987654}";
constexpr char kOtherCode[] = "{11111111-2222-3333-4444-555555555555}";

fake::Product product(const std::string& code, const std::string& name,
                      const std::string& assignmentType = "0") {
  fake::Product p;
  p.code = code;
  p.name = name;
  p.assignmentType = assignmentType;
  return p;
}

fake::Program msiexecExitingWith(DWORD exitCode) {
  fake::Program program;
  program.exitCode = exitCode;
  program.runsForMilliseconds = 2000;
  return program;
}

// The table's plain row; read when a test runs, after every table is made.
const char* perUserLine() { return cases::kAssignmentTypes[0].installedLine; }

// The whole report of a per-user Starter that msiexec removed with 0.
std::string starterRemovedLines() {
  return cases::starterFoundLines(kStarterCode, perUserLine()) +
         cases::returnCodeLine(0) + cases::closingLine(kStarter, true);
}

const std::string kRecordedStarter = std::string(kStarter) + ", ";

class InstallerProductRemovalTest : public MachineTest {
 protected:
  bool run(std::string& out) {
    bool found = false;
    out = captureStdout([&] { found = uninstallInstallerProducts(); });
    return found;
  }
};

TEST_F(InstallerProductRemovalTest, NoProductsMeansNothingDone) {
  std::string out;
  EXPECT_FALSE(run(out));

  EXPECT_EQ(out, "");
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u));
  EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  EXPECT_EQ(uninstalledNames, "");
  EXPECT_EQ(notCompletedNames, "");
  // The whole list was read: the Starter is not there.
  EXPECT_FALSE(starterNotLookedFor);
}

TEST_F(InstallerProductRemovalTest, RemovesTheStarterQuietlyWithoutRestart) {
  machine().addProduct(product(kOtherCode, "Contoso Viewer"));
  machine().addProduct(product(kStarterCode, kStarter, "1"));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  EXPECT_EQ(out, cases::starterFoundLines(
                     kStarterCode, cases::kAssignmentTypes[1].installedLine) +
                     cases::returnCodeLine(0) +
                     cases::closingLine(kStarter, true));
  EXPECT_EQ(uninstalledNames, kRecordedStarter);
  EXPECT_EQ(notCompletedNames, "");

  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  const fake::CreateProcessCall& call = machine().createProcessCalls[0];
  EXPECT_EQ(call.applicationName, std::optional<std::string>(kMsiexec));
  const std::string commandLine = cases::msiexecArguments(kStarterCode);
  EXPECT_EQ(call.commandLine, std::optional<std::string>(commandLine));
  EXPECT_EQ(commandLine.size(), 56u);
  EXPECT_EQ(call.inheritHandles, FALSE);
  EXPECT_EQ(call.startupInfoSize, sizeof(STARTUPINFOA));
  ASSERT_EQ(machine().waitCalls.size(), 1u);
  EXPECT_EQ(machine().waitCalls[0].milliseconds, cases::kWaitMilliseconds);

  // Enumeration stops at the match.
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
  // Each product's assignment type is asked for with room for ten
  // characters.
  std::vector<std::string> asked;
  for (const fake::ProductInfoCall& info : machine().productInfoCalls) {
    asked.push_back(info.productCode + " " + info.attribute);
    if (info.attribute == "AssignmentType") {
      EXPECT_EQ(info.lengthPassed, 10u);
    }
  }
  EXPECT_THAT(asked, ElementsAre(std::string(kOtherCode) + " AssignmentType",
                                 std::string(kOtherCode) + " ProductName",
                                 std::string(kStarterCode) + " AssignmentType",
                                 std::string(kStarterCode) + " ProductName"));
}

using AssignmentTypeTest =
    RowTest<cases::AssignmentType, InstallerProductRemovalTest>;

TEST_P(AssignmentTypeTest, NamesHowTheProductWasInstalled) {
  machine().addProduct(product(kStarterCode, kStarter, GetParam().value));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  run(out);

  EXPECT_EQ(out,
            cases::starterFoundLines(kStarterCode, GetParam().installedLine) +
                cases::returnCodeLine(0) + cases::closingLine(kStarter, true));
}

INSTANTIATE_TEST_SUITE_P(Values, AssignmentTypeTest,
                         ::testing::ValuesIn(cases::kAssignmentTypes),
                         cases::RowName());

class OtherProductTest
    : public InstallerProductRemovalTest,
      public ::testing::WithParamInterface<cases::OtherProduct> {
 protected:
  static fake::Product listed(const std::string& code) {
    fake::Product p = GetParam().make();
    p.code = code;
    return p;
  }
};

// Another name, however close, or a registration that cannot be read must
// not hide the Starter listed after it: the product is passed over
// silently and the search goes on.
TEST_P(OtherProductTest, IsPassedOverAndTheStarterAfterItRemoved) {
  machine().addProduct(listed(kOtherCode));
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  EXPECT_EQ(out, starterRemovedLines());
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
  EXPECT_EQ(uninstalledNames, kRecordedStarter);
}

// When every product is passed over the search ends with the list, having
// removed nothing and said nothing.
TEST_P(OtherProductTest, OnlySuchProductsEndWithTheList) {
  machine().addProduct(listed(kOtherCode));
  machine().addProduct(listed(kSecondStarterCode));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_FALSE(run(out));

  EXPECT_EQ(out, "");
  EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u, 2u));
  EXPECT_EQ(uninstalledNames, "");
  EXPECT_EQ(notCompletedNames, "");
  EXPECT_FALSE(starterNotLookedFor);
}

INSTANTIATE_TEST_SUITE_P(Products, OtherProductTest,
                         ::testing::ValuesIn(cases::kOtherProducts),
                         cases::RowName());

TEST_F(InstallerProductRemovalTest, LoadsMsiFromTheSystemFolderOnly) {
  machine().plantLibraryBesideProgram("msi.dll");
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  ASSERT_EQ(machine().libraryLoads.size(), 1u);
  EXPECT_EQ(machine().libraryLoads[0].fileName, "msi.dll");
  EXPECT_EQ(machine().libraryLoads[0].flags,
            static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_THAT(machine().plantedLibrariesLoaded(), IsEmpty());
  EXPECT_EQ(uninstalledNames, kRecordedStarter);
}

using InstallerAnswerTest =
    RowTest<cases::InstallerAnswer, InstallerProductRemovalTest>;

// Without the Windows Installer the product phase says so with the reason
// and ends. A product list that cannot be read ends the search where it
// fails: before the Starter, nothing after the failed index can be reached,
// and the summary must say that the Starter could not be looked for rather
// than that it is not there; after it, the search was over already.
TEST_P(InstallerAnswerTest, FindsTheStarterOrSaysWhyNot) {
  const cases::InstallerAnswer& row = GetParam();
  // The Starter comes second: the list may fail at it or before it.
  std::vector<std::optional<DWORD>> failingIndexes = {std::nullopt};
  if (row.listFails == cases::InstallerAnswer::kBeforeTheStarter) {
    failingIndexes = {0u, 1u};
  } else if (row.listFails == cases::InstallerAnswer::kAfterTheStarter) {
    failingIndexes = {2u};
  }
  for (const std::optional<DWORD>& failingIndex : failingIndexes) {
    SCOPED_TRACE(failingIndex ? std::to_string(*failingIndex) : "no index");
    resetRun();
    machine().addProduct(product(kOtherCode, "Contoso Viewer"));
    machine().addProduct(product(kStarterCode, kStarter));
    machine().addProgram(kMsiexec, msiexecExitingWith(0));
    row.plant(machine());
    if (failingIndex) {
      machine().failProductEnumeration(*failingIndex, cases::kProductListError);
    }

    std::string out;
    const bool found = run(out);

    if (row.loadError) {
      EXPECT_EQ(out, cases::msiUnavailableLine(*row.loadError));
      EXPECT_THAT(machine().enumProductsCalls, IsEmpty());
    } else if (row.listFails == cases::InstallerAnswer::kBeforeTheStarter) {
      EXPECT_EQ(out, "");
      ASSERT_FALSE(machine().enumProductsCalls.empty());
      EXPECT_EQ(machine().enumProductsCalls.back(), *failingIndex);
    } else {
      EXPECT_EQ(out, starterRemovedLines());
      EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
    }
    const bool lookedFor =
        !row.loadError &&
        row.listFails != cases::InstallerAnswer::kBeforeTheStarter;
    EXPECT_EQ(found, lookedFor);
    EXPECT_EQ(starterNotLookedFor, !lookedFor);
    EXPECT_EQ(machine().createProcessCalls.size(), lookedFor ? 1u : 0u);
    EXPECT_EQ(uninstalledNames, lookedFor ? kRecordedStarter : "");
    EXPECT_EQ(notCompletedNames, "");
    EXPECT_THAT(machine().handleFaults(), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, InstallerAnswerTest,
                         ::testing::ValuesIn(cases::kInstallerAnswers),
                         cases::RowName());

TEST_F(InstallerProductRemovalTest,
       ReadsALongNameWholeAndKeepsTheBiggerBuffer) {
  // Begins like the starter, so a name cut at 259 characters would not tell
  // it apart either; it must be read whole to be passed over.
  const std::string longName = std::string(kStarter) + std::string(277, 'x');
  ASSERT_EQ(longName.size(), 300u);
  machine().addProduct(product(kOtherCode, longName));
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  EXPECT_EQ(out, starterRemovedLines());
  // 260 first; 301 for the retry and for every product after it.
  EXPECT_THAT(machine().productNameLengthsPassed(),
              ElementsAre(260u, 301u, 301u));
}

TEST_F(InstallerProductRemovalTest, OnlyTheFirstOfTwoStartersIsRemoved) {
  machine().addProduct(product(kOtherCode, "Contoso Viewer"));
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProduct(product(kSecondStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  EXPECT_EQ(machine().createProcessCalls[0].commandLine,
            std::optional<std::string>(cases::msiexecArguments(kStarterCode)));
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
  EXPECT_EQ(uninstalledNames, kRecordedStarter);
}

using MsiexecOutcomeTest =
    RowTest<cases::MsiexecOutcome, InstallerProductRemovalTest>;

TEST_P(MsiexecOutcomeTest, DecidesCompletedOrNotFromMsiexec) {
  const cases::MsiexecOutcome& row = GetParam();
  machine().addProduct(product(kStarterCode, kStarter));
  cases::plant(row, machine());

  std::string out;
  EXPECT_TRUE(run(out));

  EXPECT_EQ(out, cases::starterFoundLines(kStarterCode, perUserLine()) +
                     cases::msiexecReport(row, kStarterCode) +
                     cases::closingLine(kStarter, row.completed));
  EXPECT_EQ(uninstalledNames, row.completed ? kRecordedStarter : "");
  EXPECT_EQ(notCompletedNames, row.completed ? "" : kRecordedStarter);
  EXPECT_EQ(restartRequired, row.restartRequired);
  EXPECT_FALSE(starterNotLookedFor);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, MsiexecOutcomeTest,
                         ::testing::ValuesIn(cases::kMsiexecOutcomes),
                         cases::RowName());

}  // namespace

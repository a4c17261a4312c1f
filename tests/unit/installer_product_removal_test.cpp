#include "removal/installer_product_removal.h"

#include <optional>
#include <string>
#include <vector>

#include "machine_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kMsiexec[] = "c:\\Windows\\system32\\msiexec.exe";
constexpr char kStarterCode[] = "{6A1F4E2B-7C3D-4B8A-9E5F-0123456789AB}";
constexpr char kSecondStarterCode[] = "{0B7E93C1-52D4-4F6A-8C2E-FEDCBA987654}";
constexpr char kOtherCode[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char kStarter[] = "Tovik Workspace Starter";

fake::Product product(const std::string& code, const std::string& name,
                      const std::string& assignmentType = "0") {
  fake::Product p;
  p.code = code;
  p.name = name;
  p.assignmentType = assignmentType;
  return p;
}

fake::Program msiexecExitingWith(DWORD exitCode, DWORD runsFor = 2000) {
  fake::Program program;
  program.exitCode = exitCode;
  program.runsForMilliseconds = runsFor;
  return program;
}

// The lines from the match to the launch line, for the starter product.
std::string foundLines(const std::string& code, const char* installedAs) {
  return std::string(" Product Tovik Workspace Starter:\n") + "\t" + code +
         "\n" + "\tInstalled " + installedAs +
         " non-managed\n"
         "Un-installing Tovik Workspace Starter...\n" +
         " Launching c:\\Windows\\system32\\msiexec.exe  /q /x " + code +
         " /norestart\n";
}

// The whole report of a per-user starter that msiexec removed with 0.
std::string starterRemovedLines() {
  return foundLines(kStarterCode, "per-user") +
         "launchAndWait() got a return code:0\n"
         "Uninstallation of Tovik Workspace Starter completed\n";
}

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

  EXPECT_EQ(out, foundLines(kStarterCode, "per-machine") +
                     "launchAndWait() got a return code:0\n"
                     "Uninstallation of Tovik Workspace Starter completed\n");
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
  EXPECT_EQ(notCompletedNames, "");

  ASSERT_EQ(machine().createProcessCalls.size(), 1u);
  const fake::CreateProcessCall& call = machine().createProcessCalls[0];
  EXPECT_EQ(call.applicationName, std::optional<std::string>(kMsiexec));
  const std::string commandLine =
      std::string(" /q /x ") + kStarterCode + " /norestart";
  EXPECT_EQ(call.commandLine, std::optional<std::string>(commandLine));
  EXPECT_EQ(commandLine.size(), 56u);
  EXPECT_EQ(call.inheritHandles, FALSE);
  EXPECT_EQ(call.startupInfoSize, sizeof(STARTUPINFOA));
  ASSERT_EQ(machine().waitCalls.size(), 1u);
  EXPECT_EQ(machine().waitCalls[0].milliseconds, 10000u);

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

struct AssignmentCase {
  const char* name;
  std::string value;
  const char* installedAs;
};

class AssignmentTypeTest
    : public InstallerProductRemovalTest,
      public ::testing::WithParamInterface<AssignmentCase> {};

TEST_P(AssignmentTypeTest, NamesHowTheProductWasInstalled) {
  machine().addProduct(product(kStarterCode, kStarter, GetParam().value));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  run(out);

  EXPECT_EQ(out, foundLines(kStarterCode, GetParam().installedAs) +
                     "launchAndWait() got a return code:0\n"
                     "Uninstallation of Tovik Workspace Starter completed\n");
}

INSTANTIATE_TEST_SUITE_P(
    Values, AssignmentTypeTest,
    ::testing::Values(AssignmentCase{"One", "1", "per-machine"},
                      AssignmentCase{"Zero", "0", "per-user"},
                      AssignmentCase{"Empty", "", "per-user"}),
    [](const auto& info) { return std::string(info.param.name); });

// A product whose registration cannot be read: its AssignmentType or
// ProductName query fails, or the name still does not fit after the one
// retry (it grew between the two queries).
fake::Product unreadable(const std::string& code, const char* how) {
  fake::Product broken = product(code, "Contoso Viewer");
  const std::string kind = how;
  if (kind == "AssignmentType") {
    broken.assignmentTypeError = fake::kErrorBadConfiguration;
  } else if (kind == "ProductName") {
    broken.name = kStarter;  // unreadable, so never taken for the starter
    broken.nameError = fake::kErrorUnknownProperty;
  } else if (kind == "VanishesBeforeRetry") {
    broken.name = std::string(300, 'v');
    broken.nameErrorOnceItFits = fake::kErrorUnknownProduct;
  } else {  // "StillTooLongOnRetry"
    broken.name = std::string(300, 'g');
    broken.nameErrorOnceItFits = static_cast<UINT>(ERROR_MORE_DATA);
  }
  return broken;
}

constexpr const char* kUnreadableKinds[] = {"AssignmentType", "ProductName",
                                            "VanishesBeforeRetry",
                                            "StillTooLongOnRetry"};

class UnreadableProductTest
    : public InstallerProductRemovalTest,
      public ::testing::WithParamInterface<const char*> {};

// One damaged or vanished registration must not hide the starter listed
// after it: the product is passed over silently and the search goes on.
TEST_P(UnreadableProductTest, IsPassedOverAndTheStarterAfterItRemoved) {
  machine().addProduct(unreadable(kOtherCode, GetParam()));
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));

  std::string out;
  EXPECT_TRUE(run(out));

  EXPECT_EQ(out, starterRemovedLines());
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
}

// When every product is unreadable the search ends with the list, having
// removed nothing and said nothing.
TEST_P(UnreadableProductTest, EveryProductUnreadableEndsWithTheList) {
  machine().addProduct(unreadable(kOtherCode, GetParam()));
  machine().addProduct(unreadable(kStarterCode, GetParam()));
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

INSTANTIATE_TEST_SUITE_P(Kinds, UnreadableProductTest,
                         ::testing::ValuesIn(kUnreadableKinds),
                         [](const auto& info) {
                           return std::string(info.param);
                         });

// A list that cannot be read is another matter: nothing after the failed
// index can be reached, so the search ends there, and the summary must say
// that the Starter could not be looked for rather than that it is not there.
TEST_F(InstallerProductRemovalTest, AFailedEnumerationEndsTheSearch) {
  for (DWORD failingIndex : {0u, 1u}) {
    SCOPED_TRACE(failingIndex);
    resetRun();
    machine().addProduct(product(kOtherCode, "Contoso Viewer"));
    machine().addProduct(product(kStarterCode, kStarter));
    machine().addProgram(kMsiexec, msiexecExitingWith(0));
    machine().failProductEnumeration(failingIndex,
                                     fake::kErrorBadConfiguration);

    std::string out;
    EXPECT_FALSE(run(out));

    EXPECT_EQ(out, "");
    EXPECT_THAT(machine().createProcessCalls, IsEmpty());
    EXPECT_EQ(machine().enumProductsCalls.back(), failingIndex);
    EXPECT_EQ(uninstalledNames, "");
    EXPECT_TRUE(starterNotLookedFor);
  }
}

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
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
}

struct MsiUnavailable {
  const char* name;
  void (*script)(fake::Machine&);
  DWORD error;
};

class MsiUnavailableTest
    : public InstallerProductRemovalTest,
      public ::testing::WithParamInterface<MsiUnavailable> {};

// Without the Windows Installer the product phase says so with the reason
// and ends; the run goes on to its summary.
TEST_P(MsiUnavailableTest, SaysSoAndSkipsTheProductPhase) {
  machine().addProduct(product(kStarterCode, kStarter));
  machine().addProgram(kMsiexec, msiexecExitingWith(0));
  GetParam().script(machine());

  std::string out;
  EXPECT_FALSE(run(out));

  EXPECT_EQ(out, "Windows Installer (msi.dll) could not be loaded. Error:" +
                     std::to_string(GetParam().error) + "\n");
  EXPECT_THAT(machine().enumProductsCalls, IsEmpty());
  EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  EXPECT_EQ(uninstalledNames, "");
  EXPECT_EQ(notCompletedNames, "");
  EXPECT_TRUE(starterNotLookedFor);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MsiUnavailableTest,
    ::testing::Values(
        MsiUnavailable{"LibraryMissing",
                       [](fake::Machine& m) {
                         m.failLibraryLoad("msi.dll", fake::kErrorModNotFound);
                       },
                       fake::kErrorModNotFound},
        MsiUnavailable{"LibraryAccessDenied",
                       [](fake::Machine& m) {
                         m.failLibraryLoad("msi.dll", fake::kErrorAccessDenied);
                       },
                       fake::kErrorAccessDenied},
        MsiUnavailable{
            "NoEnumProducts",
            [](fake::Machine& m) { m.removeExport("MsiEnumProductsA"); },
            fake::kErrorProcNotFound},
        MsiUnavailable{
            "NoGetProductInfo",
            [](fake::Machine& m) { m.removeExport("MsiGetProductInfoA"); },
            fake::kErrorProcNotFound},
        // A Windows 7 without the search-flags update, where the system
        // folder itself cannot be named.
        MsiUnavailable{"SystemFolderUnknown",
                       [](fake::Machine& m) {
                         m.withoutLibrarySearchFlags();
                         m.failSystemDirectory(fake::kErrorAccessDenied);
                       },
                       fake::kErrorAccessDenied}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST_F(InstallerProductRemovalTest, OnlyTheExactNameMatches) {
  for (const char* nearMiss :
       {"Tovik Workspace Starter 2", "Tovik Workspace Starter ",
        " Tovik Workspace Starter", "tovik workspace starter",
        "TOVIK WORKSPACE STARTER", "Tovik Workspace Starte"}) {
    machine().addProduct(product(kOtherCode, nearMiss));
  }

  std::string out;
  EXPECT_FALSE(run(out));

  EXPECT_EQ(out, "");
  EXPECT_THAT(machine().createProcessCalls, IsEmpty());
  EXPECT_THAT(machine().enumProductsCalls,
              ElementsAre(0u, 1u, 2u, 3u, 4u, 5u, 6u));
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
            std::optional<std::string>(std::string(" /q /x ") + kStarterCode +
                                       " /norestart"));
  EXPECT_THAT(machine().enumProductsCalls, ElementsAre(0u, 1u));
  EXPECT_EQ(uninstalledNames, "Tovik Workspace Starter, ");
}

struct MsiexecOutcome {
  const char* name;
  std::optional<fake::Program> msiexec;  // none: it cannot be started
  std::string reportLine;
  bool completed;
  bool restartRequired = false;
};

class MsiexecOutcomeTest
    : public InstallerProductRemovalTest,
      public ::testing::WithParamInterface<MsiexecOutcome> {};

// Windows Installer's own codes say whether the product is gone; only a
// known failure is reported as one.
TEST_P(MsiexecOutcomeTest, DecidesCompletedOrNotFromMsiexec) {
  const MsiexecOutcome& row = GetParam();
  machine().addProduct(product(kStarterCode, kStarter));
  if (row.msiexec) {
    machine().addProgram(kMsiexec, *row.msiexec);
  }

  std::string out;
  EXPECT_TRUE(run(out));

  const std::string closing =
      row.completed ? "Uninstallation of Tovik Workspace Starter completed\n"
                    : "Uninstallation of Tovik Workspace Starter did not "
                      "complete\n";
  EXPECT_EQ(out,
            foundLines(kStarterCode, "per-user") + row.reportLine + closing);
  EXPECT_EQ(uninstalledNames, row.completed ? "Tovik Workspace Starter, " : "");
  EXPECT_EQ(notCompletedNames,
            row.completed ? "" : "Tovik Workspace Starter, ");
  EXPECT_EQ(restartRequired, row.restartRequired);
  EXPECT_FALSE(starterNotLookedFor);
}

MsiexecOutcome exitsWith(const char* name, DWORD code, bool completed,
                         bool restartRequired = false) {
  return MsiexecOutcome{
      name, msiexecExitingWith(code),
      "launchAndWait() got a return code:" + std::to_string(code) + "\n",
      completed, restartRequired};
}

fake::Program msiexecWithUnreadableExitCode() {
  fake::Program program = msiexecExitingWith(1603);
  program.exitCodeReadError = fake::kErrorAccessDenied;
  return program;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, MsiexecOutcomeTest,
    ::testing::Values(
        exitsWith("Success", 0, true), exitsWith("RestartStarted", 1641, true),
        // Asked not to restart, msiexec leaves the rest for the next start.
        exitsWith("RestartNeeded", 3010, true, true),
        exitsWith("AlreadyGone", 1605, true),
        exitsWith("AlreadyUninstalled", 1614, true),
        MsiexecOutcome{"StillRunningAfterTheWait",
                       msiexecExitingWith(1603, 30000),
                       "launchAndWait() got a return code:259\n", true},
        // Nothing is known to have failed.
        MsiexecOutcome{"ExitCodeUnreadable", msiexecWithUnreadableExitCode(),
                       "launchAndWait() could not read the return code. "
                       "Error:5\n",
                       true},
        exitsWith("FatalError", 1603, false),
        exitsWith("AnotherInstallRunning", 1618, false),
        exitsWith("UserCancelled", 1602, false),
        MsiexecOutcome{"CannotStart", std::nullopt,
                       "CreateProcess(c:\\Windows\\system32\\msiexec.exe   /q "
                       "/x {6A1F4E2B-7C3D-4B8A-9E5F-0123456789AB} /norestart "
                       ") failed 3\n",
                       false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

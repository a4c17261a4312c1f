// The whole clean-up run over random machines, drawn by RapidCheck. A
// machine is a scenario: a row of each shared table (the roaming folder, an
// uninstaller for each component, product processes among near misses and
// many others, installer products before and after the Starter, what
// msiexec and the Windows Installer answer, the window station), a few
// numbers, and failures of single calls. What is due comes from the rows,
// as in the plain table tests, and the run is checked exactly: the console,
// the programs started, the processes ended, the box, the libraries loaded,
// every handle and shell allocation.
//
// Seeds: the normal run draws from a fixed seed, so it is the same run each
// time. RC_PARAMS overrides it and the other settings, e.g.
//   RC_PARAMS="seed=12345 max_success=5000"
//       ./build/tests/unit/unit_tests --gtest_filter='RandomMachinesTest.*'
// A failure is shrunk towards the plain machine on every axis and printed
// as a scenario literal: pasted into kRegressions below, it runs through
// the same check on every run. RapidCheck also prints the
// RC_PARAMS="reproduce=..." that replays the draw.
#include <rapidcheck.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "run_scenario.h"

namespace {

using cases::PlannedProcess;
using cases::RunResult;
using cases::Scenario;
namespace gen = rc::gen;

constexpr uint64_t kDefaultSeed = 0x70B1C5ED;
constexpr int kDefaultMachineCount = 1500;

// --- Generators ------------------------------------------------------------
//
// Every choice below shrinks to its first option, which is the plain case:
// a shrunk machine keeps only the oddities its failure needs. RapidCheck
// replays a shrunk draw value by value, in order, so every draw is made
// whatever the draws before it came to: a choice that decided whether a
// later value is drawn at all would shift every value after it once it
// shrank, and the shrunk machine would no longer be the one that failed.

// A value in [min, max), drawn alike whatever RapidCheck's size is: the
// choices between kinds of machine must not depend on how far the run has
// got. Shrinking still goes towards `min`.
template <typename T>
rc::Gen<T> uniform(T min, T max) {
  return gen::resize(100, gen::inRange(min, max));
}

// True in `percent` of the draws; shrinks to false.
bool chance(int percent) { return *uniform(0, 100) >= 100 - percent; }

// A list of up to `most` elements; shrinking drops any of them.
template <typename T, typename Draw>
std::vector<T> listOf(int most, Draw draw) {
  return *gen::resize(most, gen::container<std::vector<T>>(gen::exec(draw)));
}

// One of `choices` by weight; shrinks towards the first.
template <typename T>
T weighted(const std::vector<std::pair<int, T>>& choices) {
  int total = 0;
  for (const auto& choice : choices) total += choice.first;
  int roll = *uniform(0, total);
  for (const auto& choice : choices) {
    if (roll < choice.first) return choice.second;
    roll -= choice.first;
  }
  return choices.back().second;
}

// Any of `choices` alike; shrinks towards the first.
template <typename T>
T pick(const std::vector<T>& choices) {
  return choices[*uniform<size_t>(0, choices.size())];
}

template <typename Row>
std::vector<std::string> namesOf(const std::vector<Row>& table) {
  std::vector<std::string> names;
  for (const Row& row : table) names.emplace_back(row.name);
  return names;
}

// The plain first row in `plainPercent` of the draws, otherwise any row.
template <typename Row>
std::string rowOf(const std::vector<Row>& table, int plainPercent) {
  const bool odd = chance(100 - plainPercent);
  const std::string any = pick(namesOf(table));
  return odd ? any : table[0].name;
}

void drawProcesses(Scenario& s) {
  switch (weighted<int>({{60, 0}, {28, 1}, {12, 2}})) {
    case 0:
      s.otherProcesses = *uniform<size_t>(0, 26);
      break;
    case 1:
      s.otherProcesses = *uniform<size_t>(26, 201);
      break;
    default:  // past the first buffer of a thousand ids
      s.otherProcesses = *uniform<size_t>(1000, 2101);
      break;
  }
  s.processes = listOf<PlannedProcess>(8, [] {
    PlannedProcess p;
    p.name = rowOf(cases::kProcessNames, 40);
    p.state = rowOf(cases::kProcessStates, 60);
    p.executable = pick(cases::kProductProcesses);
    p.at = *uniform<size_t>(0, 2101);
    return p;
  });
  s.idleProcess = chance(50);
  s.processList = weighted<std::string>(
      {{90, "Whole"}, {5, "FailsAtOnce"}, {5, "FailsWhileGrowing"}});
}

void drawProducts(Scenario& s) {
  const std::vector<std::string> others = namesOf(cases::kOtherProducts);
  s.before = listOf<std::string>(5, [others] { return pick(others); });
  const bool starterInstalled = chance(60);
  const std::string starter = rowOf(cases::kAssignmentTypes, 50);
  const std::vector<std::string> after =
      listOf<std::string>(3, [others] { return pick(others); });
  const bool secondStarterInstalled = chance(25);
  const std::string secondStarter = rowOf(cases::kAssignmentTypes, 50);
  if (starterInstalled) {
    s.starter = starter;
    // Without the Starter, any exact product after it would be the first.
    s.after = after;
    if (secondStarterInstalled) s.secondStarter = secondStarter;
  }
  s.installer = rowOf(cases::kInstallerAnswers, 75);
  s.listFailsAt = *uniform<size_t>(0, 6);
  s.msiexec = rowOf(cases::kMsiexecOutcomes, 35);
}

Scenario drawScenario() {
  Scenario s;
  s.folder = rowOf(cases::kRoamingFolders, 70);
  for (std::string& component : s.components) {
    component = rowOf(cases::kUninstallers, 40);
  }
  drawProcesses(s);
  drawProducts(s);
  s.station = rowOf(cases::kWindowStations, 70);
  s.windows7WithoutUpdate = chance(20);
  s.msiPlanted = chance(25);
  s.uxthemePlanted = chance(25);
  s.messageBoxFails = chance(5);
  s.closeHandleFails = chance(3);
  return s;
}

// --- Kinds of machine that must turn up ------------------------------------

// Every row of every table drawn from, where the run reaches it, and a few
// shapes of the whole run. A change to the draw that loses one fails the
// test rather than leaving the property quietly weaker.
template <typename Row>
void addRows(std::vector<std::string>& kinds, const char* table,
             const std::vector<Row>& rows) {
  for (const Row& row : rows)
    kinds.push_back(std::string(table) + ": " + row.name);
}

const char* const kShapes[] = {
    "nothing-found box",
    "summary: per-user components could not be looked for",
    "summary: the Starter could not be looked for",
    "summary: a restart is needed",
    "summary with every line a run can hold at once",
    "nothing found, on the console of a hidden station",
    "a summary, on the console of a hidden station",
    "summary with both lines",
    "only a did-not-complete line",
    "product process beyond the first 1024 ids",
    "the idle process",
    "process list fails on the second call, over 1024 processes",
    "starter removed after a product whose query failed",
    "starter removed after an overlong name",
    "second exact product left installed",
    "starter hidden behind a failed product list",
    "product list fails after the starter, which is removed",
    "Windows 7 without the search-flags update",
    "msi.dll planted beside the program",
    "uxtheme.dll planted beside the program",
    "uxtheme.dll planted on Windows 7 without the update",
    "message box fails",
    "CloseHandle fails",
};

std::vector<std::string> kindsThatMustAppear() {
  std::vector<std::string> kinds;
  addRows(kinds, "folder", cases::kRoamingFolders);
  addRows(kinds, "uninstaller", cases::kUninstallers);
  addRows(kinds, "process name", cases::kProcessNames);
  addRows(kinds, "process state", cases::kProcessStates);
  addRows(kinds, "process list", cases::kProcessLists);
  addRows(kinds, "product", cases::kOtherProducts);
  addRows(kinds, "assignment type", cases::kAssignmentTypes);
  addRows(kinds, "installer", cases::kInstallerAnswers);
  addRows(kinds, "msiexec", cases::kMsiexecOutcomes);
  addRows(kinds, "window station", cases::kWindowStations);
  kinds.insert(kinds.end(), std::begin(kShapes), std::end(kShapes));
  return kinds;
}

std::vector<std::string> kindsOf(const Scenario& s) {
  using cases::rowNamed;
  const cases::RoamingFolder& folder =
      rowNamed(cases::kRoamingFolders, s.folder);
  const cases::InstallerAnswer& installer =
      rowNamed(cases::kInstallerAnswers, s.installer);
  const cases::WindowStation& station =
      rowNamed(cases::kWindowStations, s.station);
  std::vector<std::string> kinds = {
      "folder: " + s.folder,
      "process list: " + s.processList,
      "installer: " + s.installer,
      "window station: " + s.station,
  };
  if (folder.reachedAs) {
    for (const std::string& c : s.components) {
      kinds.push_back("uninstaller: " + c);
    }
  }

  if (s.processList == "Whole") {
    const std::vector<cases::ListedProcess> listed = cases::processesOf(s);
    for (size_t i = 0; i < listed.size(); ++i) {
      if (listed[i].planned == nullptr) continue;
      const PlannedProcess& p = *listed[i].planned;
      kinds.push_back("process name: " + p.name);
      kinds.push_back("process state: " + p.state);
      if (i >= 1024 && rowNamed(cases::kProcessNames, p.name).product) {
        kinds.emplace_back("product process beyond the first 1024 ids");
      }
    }
  }
  if (s.idleProcess) kinds.emplace_back("the idle process");
  if (s.processList == "FailsWhileGrowing" &&
      cases::processesOf(s).size() > 1024) {
    kinds.emplace_back(
        "process list fails on the second call, over 1024 processes");
  }

  const cases::Summary due = cases::summaryOf(s);
  const bool starterRemoved =
      !s.starter.empty() && !installer.loadError &&
      installer.listFails != cases::InstallerAnswer::kBeforeTheStarter;
  if (!installer.loadError) {
    for (const std::string& p : s.before) kinds.push_back("product: " + p);
    for (const std::string& p : s.after) kinds.push_back("product: " + p);
  }
  if (starterRemoved) {
    kinds.push_back("assignment type: " + s.starter);
    kinds.push_back("msiexec: " + s.msiexec);
    for (const std::string& p : s.before) {
      const cases::OtherProduct& row = rowNamed(cases::kOtherProducts, p);
      if (row.queryFails) {
        kinds.emplace_back(
            "starter removed after a product whose query failed");
      }
      if (row.make().name.size() > 259) {
        kinds.emplace_back("starter removed after an overlong name");
      }
    }
    if (!s.secondStarter.empty()) {
      kinds.emplace_back("second exact product left installed");
    }
    if (installer.listFails == cases::InstallerAnswer::kAfterTheStarter) {
      kinds.emplace_back(
          "product list fails after the starter, which is removed");
    }
  } else if (!s.starter.empty() && !installer.loadError) {
    kinds.emplace_back("starter hidden behind a failed product list");
  }

  const std::string summary = cases::summaryText(due);
  if (summary.empty()) kinds.emplace_back("nothing-found box");
  if (due.componentsNotLookedFor) {
    kinds.emplace_back("summary: per-user components could not be looked for");
  }
  if (due.starterNotLookedFor) {
    kinds.emplace_back("summary: the Starter could not be looked for");
  }
  if (due.restartRequired) kinds.emplace_back("summary: a restart is needed");
  // The completed line, the components not looked for and the restart can
  // stand together, and need the Starter removed; the not-completed line
  // then needs a failed component, which needs the components looked for.
  if (!due.completed.empty() && due.componentsNotLookedFor &&
      due.restartRequired) {
    kinds.emplace_back("summary with every line a run can hold at once");
  }
  if (!station.boxShown) {
    kinds.emplace_back(summary.empty()
                           ? "nothing found, on the console of a hidden station"
                           : "a summary, on the console of a hidden station");
  }
  if (!due.completed.empty() && !due.notCompleted.empty()) {
    kinds.emplace_back("summary with both lines");
  }
  if (due.completed.empty() && !due.notCompleted.empty()) {
    kinds.emplace_back("only a did-not-complete line");
  }

  const bool windows7 =
      s.windows7WithoutUpdate || installer.windows7WithoutUpdate;
  if (windows7) kinds.emplace_back("Windows 7 without the search-flags update");
  if (s.msiPlanted) kinds.emplace_back("msi.dll planted beside the program");
  if (s.uxthemePlanted) {
    kinds.emplace_back("uxtheme.dll planted beside the program");
    if (windows7) {
      kinds.emplace_back("uxtheme.dll planted on Windows 7 without the update");
    }
  }
  if (s.messageBoxFails) kinds.emplace_back("message box fails");
  if (s.closeHandleFails) kinds.emplace_back("CloseHandle fails");
  return kinds;
}

// --- The tests -------------------------------------------------------------

class RandomMachinesTest : public cases::ScenarioTest {};

TEST_F(RandomMachinesTest, TheRunKeepsItsPromisesOnEveryMachine) {
  // RapidCheck reads its settings once, at its first use: the fixed seed and
  // count, unless the user's RC_PARAMS says otherwise.
  const bool defaultRun = std::getenv("RC_PARAMS") == nullptr;
  const std::string defaults =
      "seed=" + std::to_string(kDefaultSeed) +
      " max_success=" + std::to_string(kDefaultMachineCount);
  setenv("RC_PARAMS", defaults.c_str(), 0);
  std::cout << "Random machines: RC_PARAMS=\"" << std::getenv("RC_PARAMS")
            << "\"\n";

  std::map<std::string, int> seen;
  const bool held =
      rc::check("the run keeps its promises on every machine", [&seen] {
        const Scenario s = *gen::exec(drawScenario);
        const RunResult run = runScenario(s);
        const std::vector<std::string> faults =
            cases::faultsOf(s, machine(), run.exitCode, run.out);
        for (const std::string& kind : kindsOf(s)) ++seen[kind];
        if (!faults.empty()) {
          std::string text = "what went wrong:\n";
          for (const std::string& fault : faults) text += "  - " + fault + "\n";
          RC_FAIL(text + "console output:\n" + run.out);
        }
      });
  // Leave the fixture's own end-of-test checks a clean machine.
  fake::resetMachine();
  ASSERT_TRUE(held) << "the shrunk scenario above, pasted into kRegressions, "
                       "replays the failure";

  // Kinds are tallied over the whole default draw; a draw chosen by hand
  // need not meet them all.
  if (!defaultRun) return;
  std::pair<int, std::string> rarest{kDefaultMachineCount + 1, ""};
  for (const std::string& kind : kindsThatMustAppear()) {
    EXPECT_GT(seen[kind], 0) << "the draw never made a machine with: " << kind;
    rarest = std::min(rarest, std::pair{seen[kind], kind});
  }
  std::cout << "Rarest kind of machine: " << rarest.second << " ("
            << rarest.first << " machines)\n";
}

// Machines that once failed, as the property printed them: each runs
// through the same check on every run.
const Scenario kRegressions[] = {
    // A failed folder lookup that the summary did not own up to.
    {/*folder*/ "LookupFails",
     /*components*/ {"Absent", "Absent", "Absent", "Absent"},
     /*processes*/ {},
     /*otherProcesses*/ 0,
     /*idleProcess*/ false,
     /*processList*/ "Whole",
     /*before*/ {},
     /*starter*/ "",
     /*after*/ {},
     /*secondStarter*/ "",
     /*installer*/ "Loads",
     /*listFailsAt*/ 0,
     /*msiexec*/ "Success",
     /*station*/ "Visible",
     /*windows7WithoutUpdate*/ false,
     /*msiPlanted*/ false,
     /*uxthemePlanted*/ false,
     /*messageBoxFails*/ false,
     /*closeHandleFails*/ false},
    // A longer name that begins with the Starter's, taken for it.
    {/*folder*/ "Plain",
     /*components*/ {"Absent", "Absent", "Absent", "Absent"},
     /*processes*/ {},
     /*otherProcesses*/ 0,
     /*idleProcess*/ false,
     /*processList*/ "Whole",
     /*before*/ {"NameFillsTheFirstBuffer"},
     /*starter*/ "",
     /*after*/ {},
     /*secondStarter*/ "",
     /*installer*/ "Loads",
     /*listFailsAt*/ 0,
     /*msiexec*/ "Success",
     /*station*/ "Visible",
     /*windows7WithoutUpdate*/ false,
     /*msiPlanted*/ false,
     /*uxthemePlanted*/ false,
     /*messageBoxFails*/ false,
     /*closeHandleFails*/ false},
    // A restart that msiexec asked for, left unsaid.
    {/*folder*/ "Plain",
     /*components*/ {"Absent", "Absent", "Absent", "Absent"},
     /*processes*/ {},
     /*otherProcesses*/ 0,
     /*idleProcess*/ false,
     /*processList*/ "Whole",
     /*before*/ {},
     /*starter*/ "PerUser",
     /*after*/ {},
     /*secondStarter*/ "",
     /*installer*/ "Loads",
     /*listFailsAt*/ 0,
     /*msiexec*/ "RestartNeeded",
     /*station*/ "Visible",
     /*windows7WithoutUpdate*/ false,
     /*msiPlanted*/ false,
     /*uxthemePlanted*/ false,
     /*messageBoxFails*/ false,
     /*closeHandleFails*/ false},
};

TEST_F(RandomMachinesTest, RegressionsKeepTheirPromises) {
  for (const Scenario& s : kRegressions) expectRunKeepsItsPromises(s);
}

}  // namespace

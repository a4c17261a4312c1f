// A whole clean-up run as a choice of rows from the shared tables, by name,
// and a few numbers: what the random machines draw, what a failing machine
// is printed as, and what the regression and summary tables are written in.
// One check says what every such run must do, from the rows alone.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "machine_test.h"
#include "run_cases.h"

namespace cases {

// A process the sweep must judge, among unrelated ones.
struct PlannedProcess {
  std::string name;        // a row of kProcessNames
  std::string state;       // a row of kProcessStates
  std::string executable;  // one of kProductProcesses
  size_t at;               // its place in the list, at most its end
};

// The plain machine, unless a field says otherwise: nothing installed,
// nothing running, nothing failing.
struct Scenario {
  std::string folder = "Plain";  // kRoamingFolders
  // kUninstallers, one for each of kComponents in their order.
  std::vector<std::string> components = {"Absent", "Absent", "Absent",
                                         "Absent"};
  std::vector<PlannedProcess> processes = {};
  size_t otherProcesses = 0;          // unrelated processes around them
  bool idleProcess = false;           // the idle process heads the list
  std::string processList = "Whole";  // kProcessLists
  // Products listed ahead of the Starter and after it (kOtherProducts).
  std::vector<std::string> before = {};
  std::string starter = "";  // its kAssignmentTypes row; empty: none
  // Only with a Starter: any exact product after it would be the first.
  std::vector<std::string> after = {};
  std::string secondStarter = "";      // one more exact product, last
  std::string installer = "Loads";     // kInstallerAnswers
  size_t listFailsAt = 0;              // into the stretch its row names
  std::string msiexec = "Success";     // kMsiexecOutcomes
  std::string station = "Visible";     // kWindowStations
  bool windows7WithoutUpdate = false;  // no SetDefaultDllDirectories
  bool msiPlanted = false;             // msi.dll beside the program
  bool uxthemePlanted = false;         // uxtheme.dll beside the program
  bool messageBoxFails = false;
  bool closeHandleFails = false;
};

// Prints the scenario as a literal that pastes into a table of scenarios;
// RapidCheck prints a failing machine with it.
void showValue(const Scenario& s, std::ostream& os);
std::string literalOf(const Scenario& s);

// Names in the scenario that no table holds; empty when all is well.
std::vector<std::string> unknownNames(const Scenario& s);

// The process list the scenario plants, in order: the planned processes
// among the others, pids from 8 up in steps of 4, the idle process first.
struct ListedProcess {
  const PlannedProcess* planned = nullptr;  // null: an unrelated one
  DWORD pid = 0;
  bool idle = false;
};
std::vector<ListedProcess> processesOf(const Scenario& s);

// Scripts the machine as the scenario says.
void plant(const Scenario& s, fake::Machine& m);

// What the summary must say of the scenario.
Summary summaryOf(const Scenario& s);

// Everything the run did against what the rows say is due, one line each;
// empty when the run did exactly that.
std::vector<std::string> faultsOf(const Scenario& s, const fake::Machine& m,
                                  int exitCode, const std::string& out);

struct RunResult {
  int exitCode = -1;
  std::string out;
};

class ScenarioTest : public MachineTest {
 protected:
  // A fresh machine planted as `s`, and the whole run on it.
  static RunResult runScenario(const Scenario& s);
  // The same, and the check: a failure names the scenario and its faults.
  static void expectRunKeepsItsPromises(const Scenario& s);
};

}  // namespace cases

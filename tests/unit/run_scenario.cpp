#include "run_scenario.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <utility>

#include "cleanup/cleanup_run.h"

namespace cases {

namespace {

const char kOtherImage[] =
    "\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe";

// --- The scenario as a literal ---------------------------------------------

void showText(const std::string& text, std::ostream& os) {
  os << '"' << text << '"';
}

void showTexts(const std::vector<std::string>& texts, std::ostream& os) {
  os << '{';
  for (size_t i = 0; i < texts.size(); ++i) {
    os << (i == 0 ? "" : ", ");
    showText(texts[i], os);
  }
  os << '}';
}

const char* showBool(bool value) { return value ? "true" : "false"; }

// A text quoted for a fault message, with what does not print escaped.
std::string inQuotes(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '"' || c == '\\') {
      out += std::string("\\") + c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// --- The machine's lists ---------------------------------------------------

std::string productCode(size_t index) {
  char code[40];
  std::snprintf(code, sizeof code, "{6A1F4E2B-7C3D-4B8A-9E5F-%012zX}",
                index + 1);
  return code;
}

// The products in list order: those before, the Starter, those after it.
std::vector<fake::Product> productsOf(const Scenario& s) {
  std::vector<fake::Product> list;
  auto add = [&list](fake::Product p, const char* assignmentType) {
    p.code = productCode(list.size());
    if (assignmentType != nullptr) p.assignmentType = assignmentType;
    list.push_back(p);
  };
  for (const std::string& name : s.before) {
    add(rowNamed(kOtherProducts, name).make(), nullptr);
  }
  if (s.starter.empty()) return list;
  fake::Product starter;
  starter.name = kStarter;
  add(starter, rowNamed(kAssignmentTypes, s.starter).value);
  for (const std::string& name : s.after) {
    add(rowNamed(kOtherProducts, name).make(), nullptr);
  }
  if (!s.secondStarter.empty()) {
    add(starter, rowNamed(kAssignmentTypes, s.secondStarter).value);
  }
  return list;
}

// The index at which the product list cannot be read, if any.
std::optional<DWORD> listFailureOf(const Scenario& s) {
  const InstallerAnswer& answer = rowNamed(kInstallerAnswers, s.installer);
  // Where the Starter is, or would be.
  const size_t starterAt = s.before.size();
  const size_t afterIt = s.after.size() + (s.secondStarter.empty() ? 0u : 1u);
  switch (answer.listFails) {
    case InstallerAnswer::kBeforeTheStarter:
      return static_cast<DWORD>(std::min(s.listFailsAt, starterAt));
    case InstallerAnswer::kAfterTheStarter:
      return static_cast<DWORD>(starterAt + 1 +
                                std::min(s.listFailsAt, afterIt));
    default:
      return std::nullopt;
  }
}

// --- What is due -----------------------------------------------------------

struct Due {
  std::string console;
  std::vector<std::pair<std::string, std::string>> starts;
  std::vector<DWORD> terminated;  // in order
  size_t terminationsAsked = 0;
  Summary summary;
  std::optional<std::string> box;
  bool componentsLookedAt = false;
  bool productListRead = false;
  bool windows7 = false;
};

void dueSweep(const Scenario& s, bool secondListCallMade, Due& due) {
  const ProcessList& list = rowNamed(kProcessLists, s.processList);
  if (list.failingCall == 1 || (list.failingCall == 2 && secondListCallMade)) {
    due.console += processListFailedLine(list.error);
    return;
  }
  for (const ListedProcess& listed : processesOf(s)) {
    if (listed.planned == nullptr) continue;
    const PlannedProcess& p = *listed.planned;
    const ProcessName& name = rowNamed(kProcessNames, p.name);
    const ProcessState& state = rowNamed(kProcessStates, p.state);
    due.console += sweepLines(name, state, p.executable, listed.pid);
    if (terminationAsked(name, state)) {
      ++due.terminationsAsked;
      if (state.accepted) due.terminated.push_back(listed.pid);
    }
  }
}

void dueComponents(const Scenario& s, Due& due) {
  const RoamingFolder& folder = rowNamed(kRoamingFolders, s.folder);
  if (!folder.reachedAs) {
    due.console += notReachedLine(folder);
    due.summary.componentsNotLookedFor = true;
    return;
  }
  due.componentsLookedAt = true;
  for (size_t i = 0; i < kComponents.size(); ++i) {
    const Uninstaller& row = rowNamed(kUninstallers, s.components[i]);
    due.console += componentLines(row, *folder.reachedAs, kComponents[i]);
    if (!row.found) continue;
    due.starts.emplace_back(uninstallerOf(*folder.reachedAs, kComponents[i]),
                            kComponentArguments);
    (row.startError == 0 ? due.summary.completed : due.summary.notCompleted)
        .push_back(kComponents[i]);
  }
}

void dueStarter(const Scenario& s, Due& due) {
  const InstallerAnswer& answer = rowNamed(kInstallerAnswers, s.installer);
  if (answer.loadError) {
    due.console += msiUnavailableLine(*answer.loadError);
    due.summary.starterNotLookedFor = true;
    return;
  }
  due.productListRead = true;
  if (answer.listFails == InstallerAnswer::kBeforeTheStarter) {
    due.summary.starterNotLookedFor = true;
    return;
  }
  if (s.starter.empty()) return;
  const std::string code = productCode(s.before.size());
  const MsiexecOutcome& outcome = rowNamed(kMsiexecOutcomes, s.msiexec);
  due.console +=
      starterFoundLines(code,
                        rowNamed(kAssignmentTypes, s.starter).installedLine) +
      msiexecReport(outcome, code) + closingLine(kStarter, outcome.completed);
  due.starts.emplace_back(kMsiexec, msiexecArguments(code));
  (outcome.completed ? due.summary.completed : due.summary.notCompleted)
      .push_back(kStarter);
  due.summary.restartRequired = outcome.restartRequired;
}

// The sweep asks for the process list again only when it grows its buffer,
// which is its own business: a failure planted on the second call is due
// only if that call is made.
Due dueOf(const Scenario& s, bool secondListCallMade) {
  Due due;
  dueSweep(s, secondListCallMade, due);
  dueComponents(s, due);
  dueStarter(s, due);
  const WindowStation& station = rowNamed(kWindowStations, s.station);
  due.console += consoleEnding(due.summary, station.boxShown);
  if (station.boxShown) due.box = boxText(due.summary);
  due.windows7 = s.windows7WithoutUpdate ||
                 rowNamed(kInstallerAnswers, s.installer).windows7WithoutUpdate;
  return due;
}

std::string startText(const std::optional<std::string>& application,
                      const std::optional<std::string>& commandLine) {
  return "(" + (application ? inQuotes(*application) : "null") + ", " +
         (commandLine ? inQuotes(*commandLine) : "null") + ")";
}

// The first line where `printed` leaves `due`, for the fault message.
std::string firstDifference(const std::string& due,
                            const std::string& printed) {
  std::istringstream dueLines(due);
  std::istringstream printedLines(printed);
  std::string a;
  std::string b;
  for (int line = 1;; ++line) {
    const bool moreDue = static_cast<bool>(std::getline(dueLines, a));
    const bool morePrinted = static_cast<bool>(std::getline(printedLines, b));
    if (!moreDue && !morePrinted) return "only in the line ends";
    if (!moreDue || !morePrinted || a != b) {
      return "line " + std::to_string(line) + ": due " +
             (moreDue ? inQuotes(a) : "nothing") + ", printed " +
             (morePrinted ? inQuotes(b) : "nothing");
    }
  }
}

std::vector<std::string> faultsAgainst(const Due& due, const fake::Machine& m,
                                       int exitCode, const std::string& out) {
  std::vector<std::string> faults;
  if (exitCode != 0) faults.push_back("exit code " + std::to_string(exitCode));
  if (out != due.console) {
    faults.push_back("the console differs from what is due, at " +
                     firstDifference(due.console, out) + "\n    due:     " +
                     inQuotes(due.console) + "\n    printed: " + inQuotes(out));
  }

  std::string dueStarts;
  std::string started;
  for (const auto& [application, commandLine] : due.starts) {
    dueStarts += "\n      " + startText(application, commandLine);
  }
  for (const fake::CreateProcessCall& call : m.createProcessCalls) {
    started += "\n      " + startText(call.applicationName, call.commandLine);
  }
  if (dueStarts != started) {
    faults.push_back("started programs differ; due, in order:" + dueStarts +
                     "\n    started:" + started);
  }

  if (m.terminatedPids() != due.terminated ||
      m.terminateCalls.size() != due.terminationsAsked) {
    std::string dueText;
    std::string endedText;
    for (DWORD pid : due.terminated) dueText += " " + std::to_string(pid);
    for (DWORD pid : m.terminatedPids()) endedText += " " + std::to_string(pid);
    faults.push_back("terminated processes differ; due:" + dueText + " (of " +
                     std::to_string(due.terminationsAsked) +
                     " asked); terminated:" + endedText + " (of " +
                     std::to_string(m.terminateCalls.size()) + " asked)");
  }
  for (const fake::TerminateCall& call : m.terminateCalls) {
    if (call.exitCode != 0) {
      faults.push_back("a process was terminated with exit code " +
                       std::to_string(call.exitCode));
    }
  }

  if (!due.box) {
    if (!m.messageBoxes.empty()) {
      faults.push_back("a box was shown on a window station nobody sees");
    }
  } else if (m.messageBoxes.size() != 1) {
    faults.push_back(std::to_string(m.messageBoxes.size()) +
                     " message boxes shown; one was due");
  } else {
    const fake::MessageBoxCall& box = m.messageBoxes[0];
    if (box.text != *due.box) {
      faults.push_back("the box says " + inQuotes(box.text) +
                       "; due: " + inQuotes(*due.box));
    }
    if (box.caption != kCaption || box.type != MB_OK || box.owner != nullptr) {
      faults.push_back("the box has caption " + inQuotes(box.caption) +
                       ", type " + std::to_string(box.type) +
                       "; due: " + inQuotes(kCaption) + ", MB_OK, no owner");
    }
  }

  for (const std::string& planted : m.plantedLibrariesLoaded()) {
    // Libraries Windows itself loads by name are beyond the program's reach
    // where the search cannot be restricted.
    if (!(planted == "uxtheme.dll" && due.windows7)) {
      faults.push_back("the planted " + planted + " was loaded");
    }
  }
  if (!due.productListRead &&
      (!m.enumProductsCalls.empty() || !m.productInfoCalls.empty())) {
    faults.push_back("the product list was read without the Windows Installer");
  }
  if (!due.componentsLookedAt && !m.createFileCalls.empty()) {
    faults.push_back(
        "a file was opened though the components were not looked "
        "for: " +
        inQuotes(m.createFileCalls[0].path));
  }
  for (const std::string& fault : m.handleFaults()) faults.push_back(fault);
  for (const std::string& fault : m.allocationFaults()) faults.push_back(fault);
  return faults;
}

}  // namespace

std::vector<ListedProcess> processesOf(const Scenario& s) {
  std::vector<ListedProcess> list(s.otherProcesses);
  for (const PlannedProcess& planned : s.processes) {
    const size_t at = std::min(planned.at, list.size());
    list.insert(list.begin() + static_cast<ptrdiff_t>(at),
                ListedProcess{&planned, 0, false});
  }
  for (size_t i = 0; i < list.size(); ++i) {
    list[i].pid = static_cast<DWORD>(8 + 4 * i);
  }
  if (s.idleProcess) list.insert(list.begin(), ListedProcess{nullptr, 0, true});
  return list;
}

void showValue(const Scenario& s, std::ostream& os) {
  auto field = [&os](const char* name, bool first = false) -> std::ostream& {
    return os << (first ? "{" : ",\n ") << "/*" << name << "*/ ";
  };
  showText(s.folder, field("folder", true));
  showTexts(s.components, field("components"));
  field("processes") << '{';
  for (size_t i = 0; i < s.processes.size(); ++i) {
    const PlannedProcess& p = s.processes[i];
    os << (i == 0 ? "{" : ", {");
    showText(p.name, os);
    showText(p.state, os << ", ");
    showText(p.executable, os << ", ");
    os << ", " << p.at << '}';
  }
  os << '}';
  field("otherProcesses") << s.otherProcesses;
  field("idleProcess") << showBool(s.idleProcess);
  showText(s.processList, field("processList"));
  showTexts(s.before, field("before"));
  showText(s.starter, field("starter"));
  showTexts(s.after, field("after"));
  showText(s.secondStarter, field("secondStarter"));
  showText(s.installer, field("installer"));
  field("listFailsAt") << s.listFailsAt;
  showText(s.msiexec, field("msiexec"));
  showText(s.station, field("station"));
  field("windows7WithoutUpdate") << showBool(s.windows7WithoutUpdate);
  field("msiPlanted") << showBool(s.msiPlanted);
  field("uxthemePlanted") << showBool(s.uxthemePlanted);
  field("messageBoxFails") << showBool(s.messageBoxFails);
  field("closeHandleFails") << showBool(s.closeHandleFails);
  os << '}';
}

std::string literalOf(const Scenario& s) {
  std::ostringstream os;
  showValue(s, os);
  return os.str();
}

std::vector<std::string> unknownNames(const Scenario& s) {
  std::vector<std::string> unknown;
  auto need = [&unknown](bool known, const char* table,
                         const std::string& name) {
    if (!known)
      unknown.push_back(std::string(table) + " has no \"" + name + "\"");
  };
  need(hasRow(kRoamingFolders, s.folder), "kRoamingFolders", s.folder);
  if (s.components.size() != kComponents.size()) {
    unknown.push_back("one uninstaller is due for each of the " +
                      std::to_string(kComponents.size()) + " components");
  }
  for (const std::string& name : s.components) {
    need(hasRow(kUninstallers, name), "kUninstallers", name);
  }
  for (const PlannedProcess& p : s.processes) {
    need(hasRow(kProcessNames, p.name), "kProcessNames", p.name);
    need(hasRow(kProcessStates, p.state), "kProcessStates", p.state);
    need(std::find(kProductProcesses.begin(), kProductProcesses.end(),
                   p.executable) != kProductProcesses.end(),
         "kProductProcesses", p.executable);
  }
  need(hasRow(kProcessLists, s.processList), "kProcessLists", s.processList);
  for (const std::string& name : s.before) {
    need(hasRow(kOtherProducts, name), "kOtherProducts", name);
  }
  for (const std::string& name : s.after) {
    need(hasRow(kOtherProducts, name), "kOtherProducts", name);
  }
  need(s.starter.empty() || hasRow(kAssignmentTypes, s.starter),
       "kAssignmentTypes", s.starter);
  need(s.secondStarter.empty() || hasRow(kAssignmentTypes, s.secondStarter),
       "kAssignmentTypes", s.secondStarter);
  need(hasRow(kInstallerAnswers, s.installer), "kInstallerAnswers",
       s.installer);
  need(hasRow(kMsiexecOutcomes, s.msiexec), "kMsiexecOutcomes", s.msiexec);
  need(hasRow(kWindowStations, s.station), "kWindowStations", s.station);
  return unknown;
}

void plant(const Scenario& s, fake::Machine& m) {
  const RoamingFolder& folder = rowNamed(kRoamingFolders, s.folder);
  plant(folder, m);
  if (folder.reachedAs) {
    for (size_t i = 0; i < kComponents.size(); ++i) {
      rowNamed(kUninstallers, s.components[i])
          .plant(m, uninstallerOf(*folder.reachedAs, kComponents[i]));
    }
  }

  for (const ListedProcess& listed : processesOf(s)) {
    fake::Process p;
    p.pid = listed.pid;
    if (listed.planned != nullptr) {
      const PlannedProcess& planned = *listed.planned;
      p.imageName =
          rowNamed(kProcessNames, planned.name).image(planned.executable);
      rowNamed(kProcessStates, planned.state).plant(p);
    } else if (!listed.idle) {
      p.imageName = kOtherImage;
    }
    m.addProcess(p);
  }
  const ProcessList& list = rowNamed(kProcessLists, s.processList);
  if (list.failingCall != 0) {
    m.failProcessEnumeration(list.error, list.failingCall);
  }

  for (const fake::Product& p : productsOf(s)) m.addProduct(p);
  if (const std::optional<DWORD> index = listFailureOf(s)) {
    m.failProductEnumeration(*index, kProductListError);
  }
  plant(rowNamed(kMsiexecOutcomes, s.msiexec), m);

  if (s.windows7WithoutUpdate) m.withoutLibrarySearchFlags();
  if (s.msiPlanted) m.plantLibraryBesideProgram("msi.dll");
  if (s.uxthemePlanted) m.plantLibraryBesideProgram("uxtheme.dll");
  rowNamed(kInstallerAnswers, s.installer).plant(m);

  if (s.messageBoxFails) m.failMessageBox(fake::kErrorAccessDenied);
  if (s.closeHandleFails) m.failCloseHandle(fake::kErrorInvalidHandle);
  rowNamed(kWindowStations, s.station).plant(m);
}

Summary summaryOf(const Scenario& s) { return dueOf(s, true).summary; }

std::vector<std::string> faultsOf(const Scenario& s, const fake::Machine& m,
                                  int exitCode, const std::string& out) {
  const std::vector<std::string> unknown = unknownNames(s);
  if (!unknown.empty()) return unknown;
  return faultsAgainst(dueOf(s, m.enumProcessesCalls.size() >= 2), m, exitCode,
                       out);
}

RunResult ScenarioTest::runScenario(const Scenario& s) {
  resetRun();
  plant(s, machine());
  RunResult run;
  run.out = captureStdout([&run] { run.exitCode = runCleanup(); });
  return run;
}

void ScenarioTest::expectRunKeepsItsPromises(const Scenario& s) {
  const RunResult run = runScenario(s);
  const std::vector<std::string> faults =
      faultsOf(s, machine(), run.exitCode, run.out);
  std::string text;
  for (const std::string& fault : faults) text += "  - " + fault + "\n";
  EXPECT_TRUE(faults.empty()) << "on the machine\n"
                              << literalOf(s) << "\nwhat went wrong:\n"
                              << text;
}

}  // namespace cases

// The facts about Win32 (win32_facts.h), checked against a real Windows
// implementation: a Windows program, run under Wine by
// tests/e2e/test_win32_facts.py.
//
//   win32_facts.exe <run> [--children <exe>]
//       runs every row of that situation ("plain", "code-page-1251", ...),
//       printing "ok" or "not ok" and what differed for each, and exits with
//       0 only when all held. The test has set up what the situation needs
//       outside the process (the locale, the roaming folder, the installed
//       product, the window station); the files and processes the rows use
//       are made here, for each row anew. The child processes are copies of
//       <exe>, by default of this program: on a 64-bit Windows the test
//       passes the x64 build, so that a 32-bit runner meets 64-bit
//       processes, as the program does.
//   win32_facts.exe --product
//       prints the product code and name that the plain situation needs
//       installed, separated by a tab.
//
// Copied under these names, it is the rows' child process instead:
//   exits.exe    exits at once with code 7
//   lasts.exe    sleeps until it is terminated
//   hardens.exe  grants others only terminate, limited query and
//                synchronize on itself, signals the event named in
//                TOVIK_FACTS_READY, and sleeps until it is terminated
//   queries.exe  the same, granting terminate, the full query right, VM
//                read and synchronize, but not the limited query right
#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win32_facts.h"

namespace {

constexpr char kReadyVariable[] = "TOVIK_FACTS_READY";
constexpr DWORD kChildTimeoutMs = 30000;
// Exit codes of the child roles that say they could not play their part.
constexpr int kCannotHarden = 120;
constexpr int kCannotSignal = 121;

std::string ownPath() {
  std::vector<char> path(32768);
  const DWORD length =
      GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return std::string(path.data(), length);
}

std::string baseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int harden(DWORD rights) {
  PSID everyone = nullptr;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                                0, &everyone)) {
    return kCannotHarden;
  }
  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = rights;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPSTR>(everyone);
  PACL acl = nullptr;
  if (SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS ||
      SetSecurityInfo(
          GetCurrentProcess(), SE_KERNEL_OBJECT,
          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
          nullptr, nullptr, acl, nullptr) != ERROR_SUCCESS) {
    return kCannotHarden;
  }
  char name[MAX_PATH] = {};
  if (GetEnvironmentVariableA(kReadyVariable, name, MAX_PATH) == 0) {
    return kCannotSignal;
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (ready == nullptr || !SetEvent(ready)) return kCannotSignal;
  Sleep(INFINITE);
  return 0;
}

// The role a copy of this program plays, by its file name; -1 for the
// runner itself.
int playRole(const std::string& baseName) {
  if (_stricmp(baseName.c_str(), "exits.exe") == 0) return 7;
  if (_stricmp(baseName.c_str(), "lasts.exe") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (_stricmp(baseName.c_str(), "hardens.exe") == 0) {
    return harden(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION |
                  SYNCHRONIZE);
  }
  if (_stricmp(baseName.c_str(), "queries.exe") == 0) {
    return harden(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION |
                  PROCESS_VM_READ | SYNCHRONIZE);
  }
  return -1;
}

// The situations, made for real; one world for each row.
class RealWorld : public facts::World {
 public:
  explicit RealWorld(std::string folder) : folder_(std::move(folder)) {}
  ~RealWorld() override {
    for (PROCESS_INFORMATION& child : started_) {
      DWORD code = 0;
      if (GetExitCodeProcess(child.hProcess, &code) && code == STILL_ACTIVE) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, kChildTimeoutMs);
      }
      CloseHandle(child.hProcess);
      CloseHandle(child.hThread);
    }
  }

  void presetLastError() override { SetLastError(facts::kPresetError); }
  std::string folder() override { return folder_; }
  std::wstring wideFolder() override {
    return std::wstring(folder_.begin(), folder_.end());
  }
  std::string systemFolder() override { return "C:\\windows\\system32"; }
  std::string exitingProgram() override { return folder_ + "\\exits.exe"; }
  std::string lastingProgram() override { return folder_ + "\\lasts.exe"; }
  DWORD runningPid() override { return start("lasts.exe").dwProcessId; }
  DWORD exitedPid() override {
    const PROCESS_INFORMATION child = start("exits.exe");
    WaitForSingleObject(child.hProcess, kChildTimeoutMs);
    return child.dwProcessId;
  }
  DWORD hardenedPid() override { return startHardened("hardens.exe"); }
  DWORD fullQueryOnlyPid() override { return startHardened("queries.exe"); }
  std::string processBaseName() override { return "hardens.exe"; }

 private:
  // Starts a copy that hardens itself, and waits until it says it has.
  DWORD startHardened(const char* copy) {
    const std::string name =
        "TovikFactsReady" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    SetEnvironmentVariableA(kReadyVariable, name.c_str());
    const PROCESS_INFORMATION child = start(copy);
    HANDLE waitFor[] = {ready, child.hProcess};
    const DWORD woken =
        WaitForMultipleObjects(2, waitFor, FALSE, kChildTimeoutMs);
    CloseHandle(ready);
    if (woken != WAIT_OBJECT_0) {
      std::printf("# %s did not say it was ready (%lu)\n", copy, woken);
    }
    return child.dwProcessId;
  }

  PROCESS_INFORMATION start(const char* copy) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const std::string path = folder_ + "\\" + copy;
    if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &child)) {
      std::printf("# %s could not be started: error %lu\n", path.c_str(),
                  GetLastError());
      return child;
    }
    started_.push_back(child);
    return child;
  }

  std::string folder_;
  std::vector<PROCESS_INFORMATION> started_;
};

bool writeFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, "a fact\r\n", 8, &written, nullptr);
  CloseHandle(file);
  return ok && written == 8;
}

// The folder the rows read, made once for the run, with the copies of
// `children` that play the rows' child processes.
bool makeFolder(const std::string& folder, const std::string& children,
                std::string& error) {
  bool made = true;
  for (const char* sub :
       {"", "\\empty", "\\subfolders", "\\subfolders\\inner"}) {
    made = made && CreateDirectoryA((folder + sub).c_str(), nullptr);
  }
  made = made && writeFile(folder + "\\file.txt") &&
         writeFile(folder + "\\subfolders\\inner\\notes.txt");
  for (const char* copy :
       {"exits.exe", "lasts.exe", "hardens.exe", "queries.exe"}) {
    made = made &&
           CopyFileA(children.c_str(), (folder + "\\" + copy).c_str(), TRUE);
  }
  if (!made) {
    error = "could not make " + folder + ": error " +
            std::to_string(GetLastError());
  }
  return made;
}

class PrintedCheck : public facts::Check {
 public:
  bool underWine() const override { return true; }
  void fail(const std::string& what) override { failures.push_back(what); }
  std::vector<std::string> failures;
};

std::string tempFolder() {
  char temp[MAX_PATH] = {};
  const DWORD length = GetTempPathA(MAX_PATH, temp);
  std::string folder(temp, length);
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return folder + "\\tovik-facts-" + std::to_string(GetCurrentProcessId());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = ownPath();
  const int role = playRole(baseNameOf(self));
  if (role >= 0) return role;

  if (argc == 2 && std::strcmp(argv[1], "--product") == 0) {
    std::printf("%s\t%s\n", facts::kProductCode, facts::kProductName);
    return 0;
  }
  std::string children = self;
  if (argc == 4 && std::strcmp(argv[2], "--children") == 0) {
    children = argv[3];
  }
  const auto situation =
      argc == 2 || argc == 4 ? facts::situationNamed(argv[1]) : std::nullopt;
  if (!situation) {
    std::fprintf(stderr,
                 "usage: win32_facts.exe <run> [--children <exe>] | "
                 "--product\n");
    return 2;
  }

  const std::string folder = tempFolder();
  std::string error;
  if (!makeFolder(folder, children, error)) {
    std::printf("not ok 0 - the rows' folder is made\n#   %s\n", error.c_str());
    return 1;
  }
  int failed = 0;
  int number = 0;
  for (const facts::Fact& fact : facts::kFacts) {
    if (fact.situation != *situation) continue;
    ++number;
    PrintedCheck check;
    {
      RealWorld world(folder);
      fact.run(world, check);
    }
    std::printf("%s %d - %s\n", check.failures.empty() ? "ok" : "not ok",
                number, fact.statement);
    for (const std::string& failure : check.failures) {
      std::printf("#   %s\n", failure.c_str());
    }
    if (!check.failures.empty()) ++failed;
    std::fflush(stdout);
  }
  std::printf("# %d of %d facts held\n", number - failed, number);
  return failed == 0 && number > 0 ? 0 : 1;
}

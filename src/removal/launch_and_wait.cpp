#include "removal/launch_and_wait.h"

#include <cstdio>

#include "common/win32_owners.h"

bool launchAndWait(std::string executablePath, std::string arguments,
                   std::optional<DWORD>* exitCode) {
  std::printf(" Launching %s %s\n", executablePath.c_str(), arguments.c_str());

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  // The path goes only in as the application name; CreateProcessA may write
  // into the command line, so it gets this call's own copy of the arguments.
  const BOOL started =
      CreateProcessA(executablePath.c_str(), arguments.data(), nullptr, nullptr,
                     FALSE, 0, nullptr, nullptr, &startup, &child);
  UniqueHandle process(child.hProcess);
  UniqueHandle thread(child.hThread);

  if (!started || !process.valid()) {
    const DWORD error = GetLastError();
    std::printf("CreateProcess(%s  %s ) failed %d\n", executablePath.c_str(),
                arguments.c_str(), static_cast<int>(error));
    return false;
  }

  // A child that outlives the wait is left running; the run goes on.
  WaitForSingleObject(process.get(), kUninstallerWaitMilliseconds);

  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) {
    std::printf("launchAndWait() could not read the return code. Error:%d\n",
                static_cast<int>(GetLastError()));
    return true;
  }
  std::printf("launchAndWait() got a return code:%d\n", static_cast<int>(code));
  if (exitCode != nullptr) {
    *exitCode = code;
  }
  return true;
}

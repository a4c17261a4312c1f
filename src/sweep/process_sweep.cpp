#include "sweep/process_sweep.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/win32_owners.h"

namespace {

// Exactly the rights the sweep uses: the limited query right reads the image
// name and the exit code (Vista and later), and terminate ends the process.
// Endpoint agents and anti-tamper code grant others no more than these (and
// synchronize) on their own processes, and any process opened with the full
// query right has the limited one too, so asking for more would only pass
// over processes the user may end.
constexpr DWORD kSweepAccess =
    PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
// The longest path Windows can report, in characters.
constexpr DWORD kImageNameCapacity = 32768;
constexpr size_t kInitialProcessIdCapacity = 1024;
// Far beyond any real system; only a broken answer that always fills the
// buffer gets here, and then the sweep goes on with what it has rather than
// grow until memory runs out.
constexpr size_t kMaxProcessIdCapacity = size_t{1} << 20;

// Fills `ids` with every running process id. The list is whole only when
// the system's answer leaves room to spare, so the buffer grows until it
// does; a busy terminal server can run far more than a thousand processes.
bool enumerateProcessIds(std::vector<DWORD>& ids) {
  ids.resize(kInitialProcessIdCapacity);
  for (;;) {
    const DWORD bufferBytes = static_cast<DWORD>(ids.size() * sizeof(DWORD));
    DWORD bytesReturned = 0;
    if (!K32EnumProcesses(ids.data(), bufferBytes, &bytesReturned)) {
      return false;
    }
    if (bytesReturned < bufferBytes || ids.size() >= kMaxProcessIdCapacity) {
      ids.resize(std::min(bytesReturned, bufferBytes) / sizeof(DWORD));
      return true;
    }
    ids.resize(ids.size() * 2);
  }
}

// The part after the last backslash; the whole name when there is none.
// Image names come in device form, so the path itself is never compared.
const char* baseNameOf(const char* imageName) {
  const char* lastBackslash = std::strrchr(imageName, '\\');
  return lastBackslash != nullptr ? lastBackslash + 1 : imageName;
}

bool isProductProcessName(const char* baseName) {
  return std::any_of(std::begin(kProductProcessNames),
                     std::end(kProductProcessNames),
                     [baseName](const char* productName) {
                       return std::strcmp(baseName, productName) == 0;
                     });
}

}  // namespace

void killProductProcesses() {
  std::vector<DWORD> processIds;
  if (!enumerateProcessIds(processIds)) {
    std::printf("EnumProcesses() failed. Error:%d\n",
                static_cast<int>(GetLastError()));
    return;
  }

  std::vector<char> imageName(kImageNameCapacity);
  for (const DWORD processId : processIds) {
    if (processId == 0) {  // the idle process
      continue;
    }
    // Other users' and protected processes cannot be opened; they are not
    // ours to stop.
    UniqueHandle process(OpenProcess(kSweepAccess, FALSE, processId));
    if (!process.valid()) {
      continue;
    }
    if (K32GetProcessImageFileNameA(process.get(), imageName.data(),
                                    kImageNameCapacity) == 0) {
      std::printf("Name was empty, skipping....\n");
      continue;
    }
    const char* baseName = baseNameOf(imageName.data());
    if (!isProductProcessName(baseName)) {
      continue;
    }

    std::printf("Terminating %s(%d)\n", baseName, static_cast<int>(processId));
    DWORD exitCode = 0;
    const BOOL terminated = TerminateProcess(process.get(), 0);
    // Termination is asynchronous: the code read at once may still be
    // STILL_ACTIVE, and the run does not wait for it to change.
    GetExitCodeProcess(process.get(), &exitCode);
    std::printf("TerminateProcess result:%d and exitcode:%d,%d \n",
                static_cast<int>(terminated), 0, static_cast<int>(exitCode));
  }
}

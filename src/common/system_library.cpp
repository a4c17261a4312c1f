#include "common/system_library.h"

#include <string>

namespace {

// Not declared for the Windows 7 target: a Windows 7 without the update that
// added it lacks the function, so it is looked up, never imported.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

}  // namespace

void restrictLibrarySearchToSystemFolder() {
  // kernel32 is always loaded; looking it up loads nothing.
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto setDefaultDllDirectories =
      kernel32 != nullptr ? exportedFunction<SetDefaultDllDirectoriesFunction>(
                                kernel32, "SetDefaultDllDirectories")
                          : nullptr;
  if (setDefaultDllDirectories != nullptr &&
      setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return;
  }
  // Without it, at least the current folder leaves the search; the
  // program's own folder stays, so every library this program loads itself
  // is loaded by its full system path (loadSystemLibrary).
  SetDllDirectoryA("");
}

HMODULE loadSystemLibrary(const char* fileName, DWORD& error) {
  HMODULE module =
      LoadLibraryExA(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) {
    return module;
  }
  error = GetLastError();
  // A Windows 7 without the search-flags update refuses the flag; there the
  // full path names the system folder's copy.
  if (error != ERROR_INVALID_PARAMETER) {
    return nullptr;
  }

  char systemFolder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(systemFolder, MAX_PATH);
  if (length == 0) {
    error = GetLastError();
    return nullptr;
  }
  if (length >= MAX_PATH) {  // the size it would need, not a path
    error = ERROR_INSUFFICIENT_BUFFER;
    return nullptr;
  }
  const std::string path = std::string(systemFolder, length) + "\\" + fileName;
  // With a full path, the altered search looks for the library's own
  // dependencies beside it, in the system folder, not beside the program.
  module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    error = GetLastError();
  }
  return module;
}

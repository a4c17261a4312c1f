#pragma once

#include <windows.h>

// Takes the program's own folder and the current folder out of the search
// for every library loaded from now on, by this program or by the system
// libraries it calls (the Windows Installer loads cabinet.dll, the message
// box uxtheme.dll, by plain name). The program is a download, and the
// folder it runs from is one where any web page can drop a DLL.
void restrictLibrarySearchToSystemFolder();

// Loads `fileName` from the system folder and from nowhere else. Returns
// null on failure, with the failure's code in `error`.
HMODULE loadSystemLibrary(const char* fileName, DWORD& error);

// The export `name` of `module` as the function type it is declared with,
// or null when the module has no such export.
template <typename Function>
Function exportedFunction(HMODULE module, const char* name) {
  // Through the generic function pointer type, which converts to and from
  // any other without a cast-function-type warning.
  using AnyFunction = void (*)();
  return reinterpret_cast<Function>(
      reinterpret_cast<AnyFunction>(GetProcAddress(module, name)));
}

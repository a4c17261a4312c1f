// The benchmark's baseline: a console program that starts, has the loader
// map and initialise the same system DLLs as UninstallTovikComponents.exe
// (kernel32, user32, shell32, ole32, msi, and the C runtime's msvcrt), and
// exits. It imports msi, which the program loads from the system folder at
// run time in every run instead: the same library, loaded either way. Its wall
// time is what any program built this way pays before it does anything of its
// own.
#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <shlobj.h>

namespace {

// The generic function pointer type: a cast to it from any function type is
// allowed without a warning.
using AnyFunction = void (*)();

// One function of each DLL, by address only: that is enough to put the DLL
// in the import table, and none of them is ever called. The volatile array
// keeps the optimiser from dropping the references.
volatile AnyFunction importedFunctions[] = {
    reinterpret_cast<AnyFunction>(&GetCurrentProcessId),   // kernel32
    reinterpret_cast<AnyFunction>(&MessageBoxA),           // user32
    reinterpret_cast<AnyFunction>(&SHGetKnownFolderPath),  // shell32
    reinterpret_cast<AnyFunction>(&CoTaskMemFree),         // ole32
    reinterpret_cast<AnyFunction>(&MsiEnumProductsA),      // msi
};

}  // namespace

int main() { return importedFunctions[0] != nullptr ? 0 : 1; }

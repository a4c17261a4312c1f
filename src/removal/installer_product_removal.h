#pragma once

#include <windows.h>

// The one product that is installed through Windows Installer.
inline constexpr const char kLauncherProductName[] = "Tovik Workspace Starter";
// Fixed, not looked up: a 32-bit process on 64-bit Windows reaches the
// 32-bit msiexec through this path.
inline constexpr const char kMsiexecPath[] =
    "c:\\Windows\\system32\\msiexec.exe";

// True when msiexec's exit code means the product is gone or going: success,
// success with a restart started or needed, the product already gone, or
// still running when the wait ended.
bool msiexecRemovalCompleted(DWORD exitCode);

// Removes the first installed product named kLauncherProductName through
// msiexec. Returns true when one was found and its removal started or tried.
bool uninstallInstallerProducts();

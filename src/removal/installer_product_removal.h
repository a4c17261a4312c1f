#pragma once

// The one product that is installed through Windows Installer.
inline constexpr const char kLauncherProductName[] = "Tovik Workspace Starter";
// Fixed, not looked up: a 32-bit process on 64-bit Windows reaches the
// 32-bit msiexec through this path.
inline constexpr const char kMsiexecPath[] =
    "c:\\Windows\\system32\\msiexec.exe";

// Removes the first installed product named kLauncherProductName through
// msiexec. Returns true when one was found and its removal started or tried.
bool uninstallInstallerProducts();

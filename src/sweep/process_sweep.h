#pragma once

// The product's executables, by file name, in the order they are compared.
inline constexpr const char* kProductProcessNames[] = {
    "tvDeviceInspector.exe",     "uacDeviceInspector.exe",
    "TovikWorkspaceStarter.exe", "tvRemoteDesk.exe",
    "TovikDeployClient.exe",
};

// Terminates every running process that the user can open and whose
// executable file name is one of kProductProcessNames, reporting each.
void killProductProcesses();

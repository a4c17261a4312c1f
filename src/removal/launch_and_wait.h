#pragma once

#include <windows.h>

#include <optional>
#include <string>

// How long an uninstaller gets before the run goes on without it.
constexpr DWORD kUninstallerWaitMilliseconds = 10000;

// Starts `executablePath` with `arguments` as its whole command line (which
// begins with a blank and does not repeat the path), waits at most
// kUninstallerWaitMilliseconds for it, and reports on standard output.
// Returns true when the child was started, whatever it returned. When
// `exitCode` is given it receives the child's exit code (STILL_ACTIVE if it
// outlived the wait), or stays empty when the code could not be read.
bool launchAndWait(std::string executablePath, std::string arguments,
                   std::optional<DWORD>* exitCode = nullptr);

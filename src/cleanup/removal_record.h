#pragma once

#include <string>

// What this run started to remove, each name followed by ", ", in the order
// the removals happened. Read once, for the closing summary.
extern std::string uninstalledNames;
// Removals known to have failed (an uninstaller that could not be started,
// an msiexec that reported failure), in the same form.
extern std::string notCompletedNames;

// Records one removal as completed or not and prints its closing console
// line accordingly.
void recordRemoval(const std::string& name, bool completed);

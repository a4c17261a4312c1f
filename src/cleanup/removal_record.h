#pragma once

#include <string>

// What this run started to remove, each name followed by ", ", in the order
// the removals happened. Read once, for the closing summary.
extern std::string uninstalledNames;
// Removals known to have failed (an uninstaller that could not be started,
// an msiexec that reported failure), in the same form.
extern std::string notCompletedNames;
// Phases that could not look at all: the summary says so rather than claim
// that nothing was there.
extern bool componentsNotLookedFor;
extern bool starterNotLookedFor;
// msiexec removed the Starter but needs a restart to finish, which the run
// never starts itself.
extern bool restartRequired;

// Records one removal as completed or not and prints its closing console
// line accordingly.
void recordRemoval(const std::string& name, bool completed);

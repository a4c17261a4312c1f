#pragma once

#include <string>

// True when the file at `path` can be opened for reading. Anything that
// cannot (missing, no access, a folder) counts as absent.
bool fileExists(const std::string& path);

// Runs the per-user component's own uninstaller, if it is there, with /S,
// and records the component as removed or as not completed.
void uninstallComponent(std::string appDataDir, std::string componentName);

#include "cleanup/cleanup_run.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cleanup/removal_record.h"
#include "common/system_library.h"
#include "common/win32_owners.h"
#include "removal/component_removal.h"
#include "removal/installer_product_removal.h"
#include "sweep/process_sweep.h"

std::string uninstalledNames;
std::string notCompletedNames;
bool componentsNotLookedFor = false;
bool starterNotLookedFor = false;
bool restartRequired = false;

void recordRemoval(const std::string& name, bool completed) {
  if (completed) {
    uninstalledNames += name + ", ";
    std::printf("Uninstallation of %s completed\n", name.c_str());
  } else {
    notCompletedNames += name + ", ";
    std::printf("Uninstallation of %s did not complete\n", name.c_str());
  }
}

namespace {

// Converts the roaming folder path to the ANSI code page that the narrow
// calls read it in. Fails rather than hand back a lossy or shortened path:
// a path with a substituted character would point somewhere else.
bool toAnsiPath(PCWSTR widePath, std::string& ansiPath) {
  // Under a UTF-8 ANSI code page every path converts losslessly, but the
  // used-default check and best-fit flag are not allowed there.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;

  const int size = WideCharToMultiByte(CP_ACP, flags, widePath, -1, nullptr, 0,
                                       nullptr, usedDefaultOut);
  // The call sets usedDefault through usedDefaultOut, which cppcheck cannot
  // follow.
  // cppcheck-suppress knownConditionTrueFalse
  if (size <= 0 || usedDefault) {
    return false;
  }
  std::string converted(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_ACP, flags, widePath, -1, converted.data(), size,
                          nullptr, usedDefaultOut) != size ||
      usedDefault) {
    return false;
  }
  converted.resize(static_cast<size_t>(size) - 1);  // the terminating zero
  ansiPath = converted;
  return true;
}

// The longest path Windows can hand out, in characters, with its zero.
constexpr DWORD kLongestPath = 32768;

// The roaming folder as the narrow calls can reach it: by its own name, or,
// where that has no form in the ANSI code page (a user name in another
// script), by the 8.3 short name that most system volumes keep for every
// folder, almost always in plain ASCII.
bool toReachableAnsiPath(PCWSTR widePath, std::string& ansiPath) {
  if (toAnsiPath(widePath, ansiPath)) {
    return true;
  }
  std::wstring shortPath(kLongestPath, L'\0');
  const DWORD length =
      GetShortPathNameW(widePath, shortPath.data(), kLongestPath);
  // 0 is a failure; a result as large as the buffer is the size it would
  // need, not a path.
  if (length == 0 || length >= kLongestPath) {
    return false;
  }
  shortPath.resize(length);
  // A volume without short names hands the long path back unchanged.
  if (shortPath == widePath) {
    return false;
  }
  return toAnsiPath(shortPath.c_str(), ansiPath);
}

// Runs every per-user component's uninstaller below the roaming folder, or
// says why none is looked at.
void uninstallPerUserComponents() {
  CoTaskMemText roamingFolder;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0,
                                              nullptr, roamingFolder.receive());
  if (result != S_OK) {
    std::printf(
        "SHGetKnownFolderPath() failed for "
        "FOLDERID_RoamingAppData(%%APPDATA%%). Error:%d.\n",
        static_cast<int>(result));
    componentsNotLookedFor = true;
    return;
  }

  std::string appDataDir;
  if (!toReachableAnsiPath(roamingFolder.get(), appDataDir)) {
    // Never fall back to a shortened path: "\Tovik\..." on its own would
    // run whatever sits at the root of the current drive.
    std::printf(
        "FOLDERID_RoamingAppData(%%APPDATA%%) path cannot be represented in "
        "the ANSI code page, skipping per-user components.\n");
    componentsNotLookedFor = true;
    return;
  }

  for (const char* componentName : kComponentNames) {
    uninstallComponent(appDataDir, componentName);
  }
}

// The closing text, a line for each thing the user should know, or empty
// when nothing was tried and nothing stood in the way of looking.
std::string buildSummary() {
  std::vector<std::string> lines;
  if (!uninstalledNames.empty()) {
    lines.push_back("Uninstallation of " + uninstalledNames + "completed");
  }
  if (!notCompletedNames.empty()) {
    lines.push_back("Uninstallation of " + notCompletedNames +
                    "did not complete");
  }
  if (componentsNotLookedFor) {
    lines.emplace_back(kComponentsNotLookedForText);
  }
  if (starterNotLookedFor) {
    lines.push_back(std::string(kLauncherProductName) +
                    " could not be looked for");
  }
  if (restartRequired) {
    lines.emplace_back(kRestartRequiredText);
  }
  std::string summary;
  for (const std::string& line : lines) {
    summary += (summary.empty() ? "" : "\n") + line;
  }
  return summary;
}

// False only when Windows says for sure that the process's window station
// is one nobody sees (a service's, or a task's that runs whether or not the
// user is logged on), where a modal box would wait for ever and so would
// whatever started the program. The station belongs to the process: it is
// never closed.
bool onVisibleWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (station == nullptr ||
      !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags,
                                 &needed)) {
    return true;  // not known to be hidden: the box as ever
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

int runCleanup() {
  // Before anything that may load a library.
  restrictLibrarySearchToSystemFolder();
  // Product processes go first, so that no uninstaller meets a running copy.
  killProductProcesses();
  uninstallPerUserComponents();
  uninstallInstallerProducts();

  const std::string summary = buildSummary();
  if (!summary.empty()) {
    std::printf("\n%s\n", summary.c_str());
  }
  const char* boxText = summary.empty() ? kNothingFoundText : summary.c_str();
  if (!onVisibleWindowStation()) {
    // Nobody would read the box: its text goes to the console, the one
    // place a deployment tool can read it, and the run ends by itself.
    if (summary.empty()) {
      std::printf("\n%s\n", boxText);
    }
    std::printf("No interactive desktop: message box not shown\n");
    return 0;
  }
  MessageBoxA(nullptr, boxText, kMessageBoxCaption, MB_OK);
  return 0;
}

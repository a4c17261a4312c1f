#include "cleanup/cleanup_run.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <string>

#include "cleanup/removal_record.h"
#include "common/system_library.h"
#include "common/win32_owners.h"
#include "removal/component_removal.h"
#include "removal/installer_product_removal.h"
#include "sweep/process_sweep.h"

std::string uninstalledNames;
std::string notCompletedNames;

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
    return;
  }

  std::string appDataDir;
  if (!toAnsiPath(roamingFolder.get(), appDataDir)) {
    // Never fall back to a shortened path: "\Tovik\..." on its own would
    // run whatever sits at the root of the current drive.
    std::printf(
        "FOLDERID_RoamingAppData(%%APPDATA%%) path cannot be represented in "
        "the ANSI code page, skipping per-user components.\n");
    return;
  }

  for (const char* componentName : kComponentNames) {
    uninstallComponent(appDataDir, componentName);
  }
}

// The closing text: one line for what completed, one for what did not, or
// empty when nothing was tried.
std::string buildSummary() {
  std::string summary;
  if (!uninstalledNames.empty()) {
    summary = "Uninstallation of " + uninstalledNames + "completed";
  }
  if (!notCompletedNames.empty()) {
    if (!summary.empty()) {
      summary += "\n";
    }
    summary += "Uninstallation of " + notCompletedNames + "did not complete";
  }
  return summary;
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
  if (summary.empty()) {
    MessageBoxA(nullptr, kNothingFoundText, kMessageBoxCaption, MB_OK);
  } else {
    std::printf("\n%s\n", summary.c_str());
    MessageBoxA(nullptr, summary.c_str(), kMessageBoxCaption, MB_OK);
  }
  return 0;
}

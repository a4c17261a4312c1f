#include "removal/component_removal.h"

#include <windows.h>

#include <cstdio>

#include "cleanup/removal_record.h"
#include "common/win32_owners.h"
#include "removal/launch_and_wait.h"

bool fileExists(const std::string& path) {
  // Open for reading without locking anybody out, read nothing, close again.
  UniqueHandle file(
      CreateFileA(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid();
}

void uninstallComponent(std::string appDataDir, std::string componentName) {
  const std::string uninstallerPath =
      appDataDir + "\\Tovik\\" + componentName + "\\uninstall.exe";

  if (!fileExists(uninstallerPath)) {
    std::printf("UninstallFile:%s does not exist\n", uninstallerPath.c_str());
    return;
  }

  std::printf("Un-installing %s...\n", componentName.c_str());
  // The uninstaller's exit code is its own business: only a start that
  // failed is known to have removed nothing.
  const bool started = launchAndWait(uninstallerPath, " /S");
  recordRemoval(componentName, started);
}

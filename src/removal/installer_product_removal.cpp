#include "removal/installer_product_removal.h"

#include <windows.h>

#include <msi.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cleanup/removal_record.h"
#include "removal/launch_and_wait.h"

namespace {

constexpr DWORD kProductCodeLength = 38;  // a braced GUID
constexpr DWORD kAssignmentTypeCapacity = 10;
constexpr size_t kInitialNameCapacity = 260;

// Windows Installer's own exit codes that leave the product removed.
constexpr DWORD kMsiSuccessRebootInitiated = 1641;
constexpr DWORD kMsiSuccessRebootRequired = 3010;
constexpr DWORD kMsiUnknownProduct = 1605;
constexpr DWORD kMsiProductUninstalled = 1614;

// Reads the product's name whole, growing `name` when the Windows Installer
// says it does not fit; the buffer is kept for later products.
UINT readProductName(const char* productCode, std::vector<char>& name) {
  DWORD length = static_cast<DWORD>(name.size());
  UINT result = MsiGetProductInfoA(productCode, INSTALLPROPERTY_PRODUCTNAME,
                                   name.data(), &length);
  if (result == ERROR_MORE_DATA) {
    name.assign(static_cast<size_t>(length) + 1, '\0');
    length = static_cast<DWORD>(name.size());
    result = MsiGetProductInfoA(productCode, INSTALLPROPERTY_PRODUCTNAME,
                                name.data(), &length);
  }
  return result;
}

// True when msiexec's exit code means the product is gone or going: success,
// success with a restart started or needed, the product already gone, or
// still running when the wait ended.
bool msiexecRemovalCompleted(DWORD exitCode) {
  switch (exitCode) {
    case ERROR_SUCCESS:
    case kMsiSuccessRebootInitiated:
    case kMsiSuccessRebootRequired:
    case kMsiUnknownProduct:
    case kMsiProductUninstalled:
    case STILL_ACTIVE:  // outlived the wait: nobody can know more
      return true;
    default:
      return false;
  }
}

}  // namespace

bool uninstallInstallerProducts() {
  char productCode[kProductCodeLength + 1] = {};
  std::vector<char> name(kInitialNameCapacity);

  for (DWORD index = 0;; ++index) {
    // The end of the list and a failed query both end the search.
    if (MsiEnumProductsA(index, productCode) != ERROR_SUCCESS) {
      return false;
    }

    char assignmentType[kAssignmentTypeCapacity] = {};
    DWORD assignmentTypeLength = kAssignmentTypeCapacity;
    if (MsiGetProductInfoA(productCode, INSTALLPROPERTY_ASSIGNMENTTYPE,
                           assignmentType,
                           &assignmentTypeLength) != ERROR_SUCCESS) {
      return false;
    }
    const bool perMachine = assignmentType[0] == '1';

    if (readProductName(productCode, name) != ERROR_SUCCESS) {
      return false;
    }
    // Exact and whole: "Tovik Workspace Starter 2" is another product.
    if (std::strcmp(name.data(), kLauncherProductName) != 0) {
      continue;
    }

    std::printf(" Product %s:\n", name.data());
    std::printf("\t%s\n", productCode);
    std::printf("\tInstalled %s %s\n", perMachine ? "per-machine" : "per-user",
                "non-managed");

    // /norestart: a quiet removal must never restart the machine under the
    // user's unsaved work; a needed restart is left to the user.
    std::string arguments = productCode;
    arguments.insert(0, " /q /x ");
    arguments += " /norestart";

    std::printf("Un-installing %s...\n", name.data());
    std::optional<DWORD> exitCode;
    const bool started = launchAndWait(kMsiexecPath, arguments, &exitCode);
    // An exit code that could not be read tells nothing either way.
    const bool completed =
        started && (!exitCode || msiexecRemovalCompleted(*exitCode));
    recordRemoval(name.data(), completed);
    return true;
  }
}

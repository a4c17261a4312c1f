#include "removal/installer_product_removal.h"

#include <windows.h>

#include <msi.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cleanup/removal_record.h"
#include "common/system_library.h"
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

// The two Windows Installer calls, taken from msi.dll at run time: a static
// import of msi.dll, which is not one of Windows' known DLLs, would be
// resolved from the program's own folder first.
using EnumProductsFunction = decltype(&MsiEnumProductsA);
using GetProductInfoFunction = decltype(&MsiGetProductInfoA);

// Reads the product's name whole, growing `name` when the Windows Installer
// says it does not fit; the buffer is kept for later products.
UINT readProductName(GetProductInfoFunction getProductInfo,
                     const char* productCode, std::vector<char>& name) {
  DWORD length = static_cast<DWORD>(name.size());
  UINT result = getProductInfo(productCode, INSTALLPROPERTY_PRODUCTNAME,
                               name.data(), &length);
  if (result == ERROR_MORE_DATA) {
    name.assign(static_cast<size_t>(length) + 1, '\0');
    length = static_cast<DWORD>(name.size());
    result = getProductInfo(productCode, INSTALLPROPERTY_PRODUCTNAME,
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
  // Loaded once and kept for the rest of the run.
  DWORD loadError = 0;
  const HMODULE msi = loadSystemLibrary("msi.dll", loadError);
  EnumProductsFunction enumProducts = nullptr;
  GetProductInfoFunction getProductInfo = nullptr;
  if (msi != nullptr) {
    enumProducts =
        exportedFunction<EnumProductsFunction>(msi, "MsiEnumProductsA");
    getProductInfo = enumProducts != nullptr
                         ? exportedFunction<GetProductInfoFunction>(
                               msi, "MsiGetProductInfoA")
                         : nullptr;
    if (getProductInfo == nullptr) {
      loadError = GetLastError();
    }
  }
  if (getProductInfo == nullptr) {
    std::printf("Windows Installer (msi.dll) could not be loaded. Error:%d\n",
                static_cast<int>(loadError));
    starterNotLookedFor = true;
    return false;
  }

  char productCode[kProductCodeLength + 1] = {};
  std::vector<char> name(kInitialNameCapacity);

  for (DWORD index = 0;; ++index) {
    // The end of the list, or a list that cannot be read, ends the search;
    // only the end of the list means the Starter is not there.
    const UINT listed = enumProducts(index, productCode);
    if (listed != ERROR_SUCCESS) {
      if (listed != ERROR_NO_MORE_ITEMS) {
        starterNotLookedFor = true;
      }
      return false;
    }

    // A product whose registration cannot be read (damaged, or removed by
    // someone else since it was listed) is passed over: the starter may
    // still come later in the list.
    char assignmentType[kAssignmentTypeCapacity] = {};
    DWORD assignmentTypeLength = kAssignmentTypeCapacity;
    if (getProductInfo(productCode, INSTALLPROPERTY_ASSIGNMENTTYPE,
                       assignmentType,
                       &assignmentTypeLength) != ERROR_SUCCESS) {
      continue;
    }
    const bool perMachine = assignmentType[0] == '1';

    if (readProductName(getProductInfo, productCode, name) != ERROR_SUCCESS) {
      continue;
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
    // Asked not to restart, msiexec leaves the rest of the removal for the
    // next start of Windows; the user must hear of it.
    if (exitCode == kMsiSuccessRebootRequired) {
      restartRequired = true;
    }
    return true;
  }
}

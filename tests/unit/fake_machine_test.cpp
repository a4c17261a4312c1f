// The fake machine stands in for Windows in every other test, so the
// behaviour those tests lean on is pinned: the conventions of each Win32
// call as facts that also run under Wine (win32_facts_test.cpp, over
// tests/facts), and here what only the fake has: its books of handles and
// allocations, its scripted failures and the search order that the
// planted-library checks rely on.
#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "machine_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class FakeMachineTest : public MachineTest {};

TEST_F(FakeMachineTest, HandleBookkeepingCatchesLeaksDoubleClosesAndStrangers) {
  machine().addFile("C:\\a.txt");
  HANDLE leaked = CreateFileA("C:\\a.txt", GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE twice = CreateFileA("C:\\a.txt", GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(leaked, INVALID_HANDLE_VALUE);
  EXPECT_NE(CloseHandle(twice), FALSE);
  EXPECT_EQ(CloseHandle(twice), FALSE);
  EXPECT_EQ(GetLastError(), fake::kErrorInvalidHandle);
  // Windows closes the pseudo-handle without complaint; the fake still
  // counts it as the program's fault.
  EXPECT_NE(CloseHandle(INVALID_HANDLE_VALUE), FALSE);

  EXPECT_THAT(machine().handleFaults(), SizeIs(3));

  // Leave the machine clean for the fixture's own checks.
  fake::resetMachine();
}

TEST_F(FakeMachineTest, FolderTextBookkeepingCatchesLeaksAndDoubleFrees) {
  PWSTR kept = nullptr;
  PWSTR freedTwice = nullptr;
  ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &kept),
            S_OK);
  ASSERT_EQ(
      SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &freedTwice),
      S_OK);
  EXPECT_EQ(std::wstring(kept), L"C:\\Users\\user1\\AppData\\Roaming");
  CoTaskMemFree(freedTwice);
  CoTaskMemFree(freedTwice);
  int notFromTheShell = 0;
  CoTaskMemFree(&notFromTheShell);

  EXPECT_THAT(machine().allocationFaults(), SizeIs(3));

  fake::resetMachine();
}

TEST_F(FakeMachineTest, AFailedLookupHandsOutNoText) {
  machine().failRoamingFolderLookup(fake::kPathNotFoundResult);
  PWSTR path = reinterpret_cast<PWSTR>(&path);

  EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path),
            fake::kPathNotFoundResult);
  EXPECT_EQ(path, nullptr);
}

TEST_F(FakeMachineTest, LastErrorIsSetByTheFailingCallOnly) {
  machine().addFile("C:\\a.txt");
  machine().setLastError(4242);
  HANDLE file = CreateFileA("C:\\a.txt", GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(GetLastError(), 4242u);  // success leaves it alone
  EXPECT_EQ(CreateFileA("C:\\b.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), fake::kErrorFileNotFound);
  EXPECT_EQ(CreateFileA("C:\\missing\\b.txt", GENERIC_READ, 0, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), fake::kErrorPathNotFound);
  CloseHandle(file);
}

TEST_F(FakeMachineTest, ProcessListFillsAtMostTheBufferGiven) {
  for (DWORD pid = 4; pid <= 40; pid += 4) {
    fake::Process process;
    process.pid = pid;
    machine().addProcess(process);
  }
  DWORD ids[4] = {};
  DWORD bytes = 0;

  ASSERT_NE(K32EnumProcesses(ids, sizeof ids, &bytes), FALSE);
  EXPECT_EQ(bytes, sizeof ids);  // full: there may be more
  EXPECT_THAT(ids, ElementsAre(4u, 8u, 12u, 16u));

  DWORD all[16] = {};
  ASSERT_NE(K32EnumProcesses(all, sizeof all, &bytes), FALSE);
  EXPECT_EQ(bytes, 10 * sizeof(DWORD));
}

TEST_F(FakeMachineTest, AChildIsStillRunningUntilItHasBeenWaitedForLongEnough) {
  fake::Program program;
  program.exitCode = 3;
  program.runsForMilliseconds = 15000;
  machine().addProgram("C:\\a.exe", program);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  char commandLine[] = " /S";
  ASSERT_NE(CreateProcessA("C:\\a.exe", commandLine, nullptr, nullptr, FALSE, 0,
                           nullptr, nullptr, &startup, &child),
            FALSE);

  DWORD code = 0;
  ASSERT_NE(GetExitCodeProcess(child.hProcess, &code), FALSE);
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), fake::kWaitTimeout);
  ASSERT_NE(GetExitCodeProcess(child.hProcess, &code), FALSE);
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), fake::kWaitObject0);
  ASSERT_NE(GetExitCodeProcess(child.hProcess, &code), FALSE);
  EXPECT_EQ(code, 3u);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
}

TEST_F(FakeMachineTest, AShortNameBufferGetsMoreDataAndTheLengthWithoutZero) {
  fake::Product product;
  product.code = "{11111111-2222-3333-4444-555555555555}";
  product.name = std::string(259, 'n');
  machine().addProduct(product);
  product.code = "{11111111-2222-3333-4444-666666666666}";
  product.name = std::string(260, 'n');
  machine().addProduct(product);

  std::vector<char> buffer(260);
  DWORD length = 260;
  EXPECT_EQ(machine().getProductInfo("{11111111-2222-3333-4444-555555555555}",
                                     INSTALLPROPERTY_PRODUCTNAME, buffer.data(),
                                     &length),
            static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(length, 259u);
  EXPECT_EQ(std::string(buffer.data()), std::string(259, 'n'));

  length = 260;
  EXPECT_EQ(machine().getProductInfo("{11111111-2222-3333-4444-666666666666}",
                                     INSTALLPROPERTY_PRODUCTNAME, buffer.data(),
                                     &length),
            static_cast<UINT>(ERROR_MORE_DATA));
  EXPECT_EQ(length, 260u);
}

// The planted-library checks of the program's tests are only as good as the
// fake's search order: a load by plain name finds the program's folder first
// until the search is restricted, and never through a search flag or a full
// path to the system folder.
struct SearchOrderCase {
  const char* name;
  bool restrictFirst;  // SetDefaultDllDirectories(system folder) before
  const char* fileName;
  DWORD flags;
  bool plantedLoaded;
};

class FakeSearchOrderTest
    : public FakeMachineTest,
      public ::testing::WithParamInterface<SearchOrderCase> {};

TEST_P(FakeSearchOrderTest, FindsThePlantedLibraryOnlyWhereWindowsWould) {
  const SearchOrderCase& row = GetParam();
  machine().plantLibraryBesideProgram("msi.dll");
  if (row.restrictFirst) {
    using SetDefault = BOOL(WINAPI*)(DWORD);
    auto setDefault = reinterpret_cast<SetDefault>(
        reinterpret_cast<void (*)()>(GetProcAddress(
            GetModuleHandleA("KERNEL32.DLL"), "SetDefaultDllDirectories")));
    ASSERT_NE(setDefault, nullptr);
    ASSERT_TRUE(setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32));
  }

  EXPECT_NE(LoadLibraryExA(row.fileName, nullptr, row.flags), nullptr);
  EXPECT_EQ(machine().plantedLibrariesLoaded().size(),
            row.plantedLoaded ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FakeSearchOrderTest,
    ::testing::Values(
        SearchOrderCase{"ByNameUnrestricted", false, "msi.dll", 0, true},
        SearchOrderCase{"ByNameAlteredUnrestricted", false, "MSI.DLL",
                        LOAD_WITH_ALTERED_SEARCH_PATH, true},
        SearchOrderCase{"ByNameRestricted", true, "msi.dll", 0, false},
        SearchOrderCase{"BySearchFlag", false, "msi.dll",
                        LOAD_LIBRARY_SEARCH_SYSTEM32, false},
        SearchOrderCase{"ByFullPath", false, "c:\\windows\\SYSTEM32\\msi.dll",
                        LOAD_WITH_ALTERED_SEARCH_PATH, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeMachineTest, MessageBoxLoadsThePlantedThemeLibraryUnlessRestricted) {
  machine().plantLibraryBesideProgram("uxtheme.dll");
  MessageBoxA(nullptr, "text", "caption", MB_OK);
  EXPECT_THAT(machine().plantedLibrariesLoaded(), ElementsAre("uxtheme.dll"));

  fake::resetMachine();
  machine().plantLibraryBesideProgram("uxtheme.dll");
  machine().setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  MessageBoxA(nullptr, "text", "caption", MB_OK);
  EXPECT_THAT(machine().plantedLibrariesLoaded(), IsEmpty());
}

// The random machines lean on this failure to model a product that goes
// away between the two name queries.
TEST_F(FakeMachineTest, TheNameQueryFailsOnlyOnceTheBufferFits) {
  fake::Product p;
  p.code = "{6A1F4E2B-7C3D-4B8A-9E5F-0123456789AB}";
  p.name = std::string(300, 'n');
  p.nameErrorOnceItFits = fake::kErrorUnknownProduct;
  machine().addProduct(p);

  std::vector<char> buffer(260);
  DWORD length = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(machine().getProductInfo(p.code.c_str(), "ProductName",
                                     buffer.data(), &length),
            static_cast<UINT>(ERROR_MORE_DATA));
  EXPECT_EQ(length, 300u);
  buffer.assign(301, '\0');
  length = 301;
  EXPECT_EQ(machine().getProductInfo(p.code.c_str(), "ProductName",
                                     buffer.data(), &length),
            fake::kErrorUnknownProduct);
  length = 10;
  char assignmentType[10] = {};
  EXPECT_EQ(machine().getProductInfo(p.code.c_str(), "AssignmentType",
                                     assignmentType, &length),
            static_cast<UINT>(ERROR_SUCCESS));
}

// GetShortPathNameW's three answers: the length without the zero when the
// path fits, the size with it when it does not (with nothing to trust in the
// buffer), and 0 with the error on failure; a volume without short names, or a
// path whose names are already 8.3, gives the long path back.
TEST_F(FakeMachineTest, ShortNamesAnswerAsWindowsDoes) {
  const std::wstring longPath = L"C:\\Users\\\u0418\u0432\u0430\u043d";
  machine().setRoamingFolder(longPath + L"\\AppData\\Roaming");
  machine().setShortPath(longPath, L"C:\\Users\\____~1");
  wchar_t buffer[32];
  std::wmemset(buffer, L'#', 32);

  EXPECT_EQ(GetShortPathNameW(longPath.c_str(), nullptr, 0), 16u);
  EXPECT_EQ(GetShortPathNameW(longPath.c_str(), buffer, 15), 16u);
  EXPECT_NE(buffer[0], L'#');  // nothing to trust, and nothing kept
  EXPECT_EQ(GetShortPathNameW(longPath.c_str(), buffer, 16), 15u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Users\\____~1");
  EXPECT_EQ(GetShortPathNameW(L"C:\\Users", buffer, 32), 8u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Users");

  machine().withoutShortNames();
  EXPECT_EQ(GetShortPathNameW(longPath.c_str(), buffer, 32), 13u);
  EXPECT_EQ(std::wstring(buffer), longPath);

  machine().failShortPathLookup(fake::kErrorAccessDenied);
  EXPECT_EQ(GetShortPathNameW(longPath.c_str(), buffer, 32), 0u);
  EXPECT_EQ(GetLastError(), fake::kErrorAccessDenied);
}

// The station is the process's own: reading its flags is fine, closing it
// is a fault every test's end-of-test check reports.
TEST_F(FakeMachineTest, TheWindowStationIsReadNeverClosed) {
  HWINSTA station = GetProcessWindowStation();
  ASSERT_NE(station, nullptr);
  EXPECT_EQ(GetProcessWindowStation(), station);
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  EXPECT_EQ(GetUserObjectInformationA(station, UOI_FLAGS, &flags, 4, &needed),
            FALSE);
  EXPECT_EQ(GetLastError(), fake::kErrorInsufficientBuffer);
  EXPECT_EQ(needed, sizeof flags);
  ASSERT_NE(GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags,
                                      &needed),
            FALSE);
  EXPECT_EQ(flags.dwFlags, static_cast<DWORD>(WSF_VISIBLE));
  machine().hideWindowStation();
  ASSERT_NE(GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags,
                                      &needed),
            FALSE);
  EXPECT_EQ(flags.dwFlags, 0u);
  EXPECT_THAT(machine().handleFaults(), IsEmpty());

  CloseHandle(station);
  EXPECT_THAT(machine().handleFaults(), SizeIs(1));
  fake::resetMachine();
}

}  // namespace

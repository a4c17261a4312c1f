#include "common/system_library.h"

#include <string>
#include <vector>

#include "machine_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LibrarySearchTest : public MachineTest {};

TEST_F(LibrarySearchTest, RestrictsTheSearchToTheSystemFolder) {
  restrictLibrarySearchToSystemFolder();

  EXPECT_THAT(machine().moduleLookups, ElementsAre("kernel32.dll"));
  ASSERT_EQ(machine().exportLookups.size(), 1u);
  EXPECT_EQ(machine().exportLookups[0].module, "kernel32.dll");
  EXPECT_EQ(machine().exportLookups[0].name, "SetDefaultDllDirectories");
  EXPECT_THAT(machine().defaultDllDirectoriesCalls,
              ElementsAre(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32)));
  EXPECT_THAT(machine().dllDirectoryCalls, IsEmpty());
}

struct FallbackCase {
  const char* name;
  void (*script)(fake::Machine&);
};

class LibrarySearchFallbackTest
    : public LibrarySearchTest,
      public ::testing::WithParamInterface<FallbackCase> {};

// Where the system folder cannot be made the only place to look, the
// current folder at least leaves the search.
TEST_P(LibrarySearchFallbackTest, TakesTheCurrentFolderOut) {
  GetParam().script(machine());

  std::string out =
      captureStdout([] { restrictLibrarySearchToSystemFolder(); });

  EXPECT_EQ(out, "");
  ASSERT_EQ(machine().dllDirectoryCalls.size(), 1u);
  EXPECT_EQ(machine().dllDirectoryCalls[0], std::optional<std::string>(""));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibrarySearchFallbackTest,
    ::testing::Values(
        FallbackCase{"Windows7WithoutTheUpdate",
                     [](fake::Machine& m) { m.withoutLibrarySearchFlags(); }},
        FallbackCase{"Kernel32NotFound",
                     [](fake::Machine& m) {
                       m.failModuleLookup(fake::kErrorModNotFound);
                     }},
        FallbackCase{"SetDefaultDllDirectoriesFails",
                     [](fake::Machine& m) {
                       m.failSetDefaultDllDirectories(fake::kErrorAccessDenied);
                     }},
        // Its own failure leaves nothing else to try, and nothing to say.
        FallbackCase{"SetDllDirectoryFailsToo",
                     [](fake::Machine& m) {
                       m.withoutLibrarySearchFlags();
                       m.failSetDllDirectory(fake::kErrorAccessDenied);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

struct LoadCase {
  const char* name;
  void (*script)(fake::Machine&);
  std::vector<std::string> pathsTried;
  std::vector<DWORD> flagsTried;
  bool loads;
  DWORD error;  // when it does not
};

class SystemLibraryLoadTest : public LibrarySearchTest,
                              public ::testing::WithParamInterface<LoadCase> {};

// Whatever the system offers, a library of the same name beside the
// program is never the one loaded.
TEST_P(SystemLibraryLoadTest, LoadsOnlyTheSystemFoldersCopy) {
  const LoadCase& row = GetParam();
  machine().plantLibraryBesideProgram("msi.dll");
  row.script(machine());

  DWORD error = 0;
  const HMODULE module = loadSystemLibrary("msi.dll", error);

  EXPECT_EQ(module != nullptr, row.loads);
  if (!row.loads) {
    EXPECT_EQ(error, row.error);
  }
  std::vector<std::string> paths;
  std::vector<DWORD> flags;
  for (const fake::LibraryLoadCall& call : machine().libraryLoads) {
    paths.push_back(call.fileName);
    flags.push_back(call.flags);
    EXPECT_FALSE(call.fileHandleGiven);
  }
  EXPECT_EQ(paths, row.pathsTried);
  EXPECT_EQ(flags, row.flagsTried);
  EXPECT_THAT(machine().plantedLibrariesLoaded(), IsEmpty());
}

constexpr DWORD kSystemOnly = LOAD_LIBRARY_SEARCH_SYSTEM32;
constexpr DWORD kAltered = LOAD_WITH_ALTERED_SEARCH_PATH;
const char kFullPath[] = "C:\\Windows\\system32\\msi.dll";

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemLibraryLoadTest,
    ::testing::Values(
        LoadCase{"BySearchFlag",
                 [](fake::Machine&) {},
                 {"msi.dll"},
                 {kSystemOnly},
                 true,
                 0},
        // The flag is refused; the full path names the system's copy.
        LoadCase{"ByFullPathOnWindows7WithoutTheUpdate",
                 [](fake::Machine& m) { m.withoutLibrarySearchFlags(); },
                 {"msi.dll", kFullPath},
                 {kSystemOnly, kAltered},
                 true,
                 0},
        LoadCase{"FromAnotherSystemFolder",
                 [](fake::Machine& m) {
                   m.withoutLibrarySearchFlags();
                   m.setSystemFolder("D:\\WINNT\\System32");
                 },
                 {"msi.dll", "D:\\WINNT\\System32\\msi.dll"},
                 {kSystemOnly, kAltered},
                 true,
                 0},
        // Any other refusal is the answer: no second way is tried.
        LoadCase{"MissingFromTheSystemFolder",
                 [](fake::Machine& m) {
                   m.failLibraryLoad("msi.dll", fake::kErrorModNotFound);
                 },
                 {"msi.dll"},
                 {kSystemOnly},
                 false,
                 fake::kErrorModNotFound},
        LoadCase{"FullPathLoadFails",
                 [](fake::Machine& m) {
                   m.withoutLibrarySearchFlags();
                   m.failLibraryLoad("msi.dll", fake::kErrorBadExeFormat);
                 },
                 {"msi.dll", kFullPath},
                 {kSystemOnly, kAltered},
                 false,
                 fake::kErrorBadExeFormat},
        LoadCase{"SystemFolderUnknown",
                 [](fake::Machine& m) {
                   m.withoutLibrarySearchFlags();
                   m.failSystemDirectory(fake::kErrorAccessDenied);
                 },
                 {"msi.dll"},
                 {kSystemOnly},
                 false,
                 fake::kErrorAccessDenied},
        // A folder name too long for the buffer is never cut short into
        // another path.
        LoadCase{"SystemFolderTooLong",
                 [](fake::Machine& m) {
                   m.withoutLibrarySearchFlags();
                   m.setSystemFolder("C:\\" + std::string(300, 'w'));
                 },
                 {"msi.dll"},
                 {kSystemOnly},
                 false,
                 fake::kErrorInsufficientBuffer}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

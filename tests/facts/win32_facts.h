// Facts about the Win32 calls the program makes, written once and checked
// twice: natively against the fake machine that the unit tests run on
// (tests/unit/win32_facts_test.cpp), and under Wine against a real Windows
// implementation (wine_runner.cpp, run by tests/e2e/test_win32_facts.py).
//
// Each row is a statement about Windows, in the manner of Wine's conformance
// tests: a situation, a call, and what the call returns, which last error it
// sets and what it writes to the caller's buffers. Where Wine 8 differs from
// what Microsoft documents, the row says both, like Wine's own todo_wine:
// the fake follows Windows, and the Wine runner checks Wine's own value, so
// that a Wine upgrade that moves either way is seen. Where Windows documents
// nothing (a buffer after the call said it was too small), the fake fills
// the buffer with kUntrustworthyByte, so that nothing can come to rely on
// it, and the row says what Wine leaves there.
//
// The rows call the Win32 functions by their real names: compiled natively
// they reach the fake through the stand-in headers, compiled with mingw-w64
// they reach Windows.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace facts {

// What the machine must hold before a row runs. Under Wine each situation
// is a run of its own, set up by the test that starts the runner.
enum class Situation {
  kPlain,                 // ANSI code page 1252, the test product installed
  kCodePage1251,          // ANSI code page 1251, chosen through the locale
  kRoamingFolderMissing,  // the roaming folder redirected to a missing one
  kLibrarySearch,         // rows that change the process's library search
  kHiddenStation,         // a window station nobody sees
  kMessageBox,            // a user who presses OK on the box
};
// The name of the run a situation belongs to, as the Wine runner takes it.
const char* runOf(Situation situation);
std::optional<Situation> situationNamed(const std::string& run);
extern const std::vector<Situation> kSituations;

// The Windows Installer product that the plain situation has installed.
extern const char kProductCode[];
extern const char kProductName[];

// What a caller's buffer holds before a call (so that "left untouched" can
// be told), and what the fake writes where Windows documents nothing.
constexpr unsigned char kFillByte = 0x55;
constexpr unsigned char kUntrustworthyByte = 0xA5;
// A last error set before each call, so that "left as it was" can be told.
constexpr DWORD kPresetError = 0xFACE;

// A value Windows gives, and what Wine 8 gives instead where they differ.
template <typename T>
struct Due {
  T windows;
  std::optional<T> wine;
};
// What a buffer holds after a call.
struct Bytes {
  enum Kind {
    kBeginsWith,    // these bytes first; the rest is not part of the fact
    kUntouched,     // every byte still kFillByte
    kUntrustworthy  // undocumented: the fake's kUntrustworthyByte throughout
  } kind;
  std::string bytes;
};
Bytes beginsWith(const std::string& bytes);
Bytes untouched();
Bytes untrustworthy();

inline Due<long long> due(long long windows) { return {windows, {}}; }
inline Due<long long> due(long long windows, long long wineInstead) {
  return {windows, wineInstead};
}
inline Due<std::string> due(std::string windows) { return {windows, {}}; }
inline Due<std::string> due(std::string windows, std::string wineInstead) {
  return {windows, wineInstead};
}
inline Due<Bytes> due(Bytes windows) { return {windows, {}}; }
inline Due<Bytes> due(Bytes windows, Bytes wineInstead) {
  return {windows, wineInstead};
}

// The things a row's situation provides. Natively they are planted on the
// fake machine; under Wine they are made for real.
class World {
 public:
  virtual ~World() = default;
  virtual void presetLastError() = 0;
  // An existing folder, without a trailing backslash, in the ANSI code
  // page. It holds "file.txt" (readable text), "empty" (an empty folder) and
  // "subfolders", which holds only the folder "inner", which holds
  // "notes.txt".
  virtual std::string folder() = 0;
  virtual std::wstring wideFolder() = 0;
  // What GetSystemDirectoryA gives.
  virtual std::string systemFolder() = 0;
  // A program that exits at once with code 7, and one that runs until the
  // row is over; both take the argument text they are given.
  virtual std::string exitingProgram() = 0;
  virtual std::string lastingProgram() = 0;
  // Processes of the user's that run until the row is over, one of which
  // has hardened its DACL to grant others only terminate, limited query and
  // synchronize, and one that has exited with code 7 (its process object
  // still held open by the world).
  virtual DWORD runningPid() = 0;
  virtual DWORD hardenedPid() = 0;
  // One whose DACL grants others terminate, the full query right, VM read
  // and synchronize, but not the limited query right.
  virtual DWORD fullQueryOnlyPid() = 0;
  virtual DWORD exitedPid() = 0;
  // The base name of those processes' image files.
  virtual std::string processBaseName() = 0;
};

// Where a row's call is checked: against the fake (Windows' values) or
// under Wine (Wine's own values where a row gives them).
class Check {
 public:
  virtual ~Check() = default;
  virtual bool underWine() const = 0;
  virtual void fail(const std::string& what) = 0;

  void equal(const char* what, long long seen, const Due<long long>& due);
  void lastError(const Due<long long>& due);
  void text(const char* what, const std::string& seen,
            const Due<std::string>& due);
  void bytes(const char* what, const void* buffer, size_t size,
             const Due<Bytes>& due);
  void that(const char* what, bool holds);
};

struct Fact {
  const char* statement;
  Situation situation;
  void (*run)(World& world, Check& check);
};
extern const std::vector<Fact> kFacts;

}  // namespace facts

#include "win32_facts.h"

#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace facts {

const char kProductCode[] = "{5B6C7D8E-9F01-4A2B-8C3D-4E5F60718293}";
const char kProductName[] = "Tovik Facts Product";

const std::vector<Situation> kSituations = {
    Situation::kPlain,
    Situation::kCodePage1251,
    Situation::kRoamingFolderMissing,
    Situation::kLibrarySearch,
    Situation::kHiddenStation,
    Situation::kMessageBox,
};

const char* runOf(Situation situation) {
  switch (situation) {
    case Situation::kPlain:
      return "plain";
    case Situation::kCodePage1251:
      return "code-page-1251";
    case Situation::kRoamingFolderMissing:
      return "roaming-folder-missing";
    case Situation::kLibrarySearch:
      return "library-search";
    case Situation::kHiddenStation:
      return "hidden-station";
    case Situation::kMessageBox:
      return "message-box";
  }
  return "?";
}

std::optional<Situation> situationNamed(const std::string& run) {
  for (Situation situation : kSituations) {
    if (run == runOf(situation)) return situation;
  }
  return std::nullopt;
}

Bytes beginsWith(const std::string& bytes) {
  return {Bytes::kBeginsWith, bytes};
}
Bytes untouched() { return {Bytes::kUntouched, ""}; }
Bytes untrustworthy() { return {Bytes::kUntrustworthy, ""}; }

// --- Checks ----------------------------------------------------------------

namespace {

std::string shown(const std::string& bytes) {
  std::string text = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      text += escape;
    }
  }
  return text + "\"";
}

std::string shown(const Bytes& bytes) {
  switch (bytes.kind) {
    case Bytes::kBeginsWith:
      return "beginning with " + shown(bytes.bytes);
    case Bytes::kUntouched:
      return "untouched";
    case Bytes::kUntrustworthy:
      return "filled with untrustworthy bytes";
  }
  return "?";
}

std::string shown(long long value) {
  char text[64];
  std::snprintf(text, sizeof text, "%lld (0x%llX)", value,
                static_cast<unsigned long long>(value));
  return text;
}

// The value the check is held to where it runs, and how to say it.
template <typename T>
const T& dueHere(const Check& check, const Due<T>& due) {
  return check.underWine() && due.wine ? *due.wine : due.windows;
}

template <typename T>
std::string whose(const Check& check, const Due<T>& due) {
  if (!due.wine) return "";
  return check.underWine()
             ? " (Wine's own; Windows: " + shown(due.windows) + ")"
             : " (Windows'; Wine gives " + shown(*due.wine) + ")";
}

bool holds(const Bytes& due, const unsigned char* buffer, size_t size) {
  switch (due.kind) {
    case Bytes::kBeginsWith:
      return due.bytes.size() <= size &&
             std::memcmp(buffer, due.bytes.data(), due.bytes.size()) == 0;
    case Bytes::kUntouched:
    case Bytes::kUntrustworthy: {
      const unsigned char fill =
          due.kind == Bytes::kUntouched ? kFillByte : kUntrustworthyByte;
      for (size_t i = 0; i < size; ++i) {
        if (buffer[i] != fill) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

void Check::equal(const char* what, long long seen, const Due<long long>& due) {
  if (seen != dueHere(*this, due)) {
    fail(std::string(what) + " is " + shown(seen) + ", due " +
         shown(dueHere(*this, due)) + whose(*this, due));
  }
}

void Check::lastError(const Due<long long>& due) {
  equal("the last error", static_cast<long long>(GetLastError()), due);
}

void Check::text(const char* what, const std::string& seen,
                 const Due<std::string>& due) {
  if (seen != dueHere(*this, due)) {
    fail(std::string(what) + " is " + shown(seen) + ", due " +
         shown(dueHere(*this, due)) + whose(*this, due));
  }
}

void Check::bytes(const char* what, const void* buffer, size_t size,
                  const Due<Bytes>& due) {
  const auto* data = static_cast<const unsigned char*>(buffer);
  if (!holds(dueHere(*this, due), data, size)) {
    fail(std::string(what) + " holds " +
         shown(std::string(reinterpret_cast<const char*>(data), size)) +
         ", due " + shown(dueHere(*this, due)) + whose(*this, due));
  }
}

void Check::that(const char* what, bool holds) {
  if (!holds) fail(std::string("not so: ") + what);
}

// --- The rows ----------------------------------------------------------------

namespace {

// Windows' codes, by their SDK names; the stand-in headers declare only
// those the program itself names.
constexpr long long kFileNotFound = 2;
constexpr long long kPathNotFound = 3;
constexpr long long kAccessDenied = 5;
constexpr long long kInvalidHandle = 6;
constexpr long long kInvalidParameter = 87;
constexpr long long kBufferOverflow = 111;
constexpr long long kInsufficientBuffer = 122;
constexpr long long kModNotFound = 126;
constexpr long long kProcNotFound = 127;
constexpr long long kBadExeFormat = 193;
constexpr long long kMoreData = 234;
constexpr long long kNoMoreItems = 259;
constexpr long long kInvalidFlags = 1004;
constexpr long long kNoUnicodeTranslation = 1113;
constexpr long long kUnknownProduct = 1605;
constexpr long long kUnknownProperty = 1608;
constexpr long long kWaitObject0 = 0;
constexpr long long kWaitTimeout = 258;
constexpr long long kStillActive = 259;
constexpr long long kIdOk = 1;
constexpr long long kTrue = 1;
constexpr DWORD kSweepRights =
    PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kOldSweepRights =
    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;
constexpr DWORD kFileShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

template <size_t N>
struct Filled {
  unsigned char bytes[N];
  Filled() { std::memset(bytes, kFillByte, N); }
  char* text() { return reinterpret_cast<char*>(bytes); }
};

// A wide buffer filled with kFillByte in every byte.
template <size_t N>
struct FilledWide {
  wchar_t units[N];
  FilledWide() { std::memset(units, kFillByte, sizeof units); }
};

HANDLE openForReading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, kFileShareAll, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void checkCreateFileFails(World& w, Check& c, const std::string& path,
                          const Due<long long>& error) {
  w.presetLastError();
  HANDLE file = openForReading(path);
  c.that("CreateFileA returns INVALID_HANDLE_VALUE",
         file == INVALID_HANDLE_VALUE);
  c.lastError(error);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

struct Child {
  BOOL started = FALSE;
  PROCESS_INFORMATION info{};
};

Child start(const std::string& path, const char* arguments) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  Child child;
  std::string commandLine = arguments;
  child.started =
      CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                     0, nullptr, nullptr, &startup, &child.info);
  return child;
}

void close(Child& child) {
  if (child.info.hProcess != nullptr) CloseHandle(child.info.hProcess);
  if (child.info.hThread != nullptr) CloseHandle(child.info.hThread);
}

void checkCreateProcessFails(World& w, Check& c, const std::string& path,
                             const Due<long long>& error) {
  w.presetLastError();
  Child child = start(path, " /S");
  c.equal("CreateProcessA's result", child.started, due(FALSE));
  c.lastError(error);
  close(child);
}

// What WideCharToMultiByte makes of `wide` in the ANSI code page, with the
// size its answer and its used-default flag.
struct Conversion {
  int result;
  std::string bytes;
  BOOL usedDefault;
};

Conversion toAnsi(const std::wstring& wide, DWORD flags,
                  UINT codePage = CP_ACP) {
  Filled<64> out;
  BOOL usedDefault = 7;
  const int result = WideCharToMultiByte(codePage, flags, wide.c_str(), -1,
                                         out.text(), 64, nullptr, &usedDefault);
  return {result,
          std::string(out.text(), result > 0 ? static_cast<size_t>(result) : 0),
          usedDefault};
}

void checkConverts(Check& c, const std::wstring& wide, DWORD flags,
                   const std::string& bytes, bool usedDefault) {
  const Conversion seen = toAnsi(wide, flags);
  c.equal("the size", seen.result,
          due(static_cast<long long>(bytes.size() + 1)));
  c.text("the text", seen.bytes, due(bytes + std::string(1, '\0')));
  c.equal("usedDefault", seen.usedDefault, due(usedDefault ? kTrue : FALSE));
}

using EnumProducts = decltype(&MsiEnumProductsA);
using GetProductInfo = decltype(&MsiGetProductInfoA);

template <typename Function>
Function msiExport(const char* name) {
  HMODULE msi =
      LoadLibraryExA("msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (msi == nullptr) return nullptr;
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(msi, name)));
}

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFunction setDefaultDllDirectories() {
  return reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(
          GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
}

HANDLE openProcess(World& w, Check& c, DWORD access, DWORD pid) {
  w.presetLastError();
  HANDLE process = OpenProcess(access, FALSE, pid);
  c.that("OpenProcess opens it", process != nullptr);
  return process;
}

const std::vector<Fact> kRows = {
    // --- Handles -------------------------------------------------------------
    {"CloseHandle of INVALID_HANDLE_VALUE succeeds: it is the current "
     "process's pseudo-handle",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.presetLastError();
       c.equal("CloseHandle's result", CloseHandle(INVALID_HANDLE_VALUE) != 0,
               due(kTrue));
     }},
    {"CloseHandle of a handle already closed fails with "
     "ERROR_INVALID_HANDLE",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE file = openForReading(w.folder() + "\\file.txt");
       c.that("the file opens", file != INVALID_HANDLE_VALUE);
       CloseHandle(file);
       w.presetLastError();
       c.equal("CloseHandle's result", CloseHandle(file), due(FALSE));
       c.lastError(due(kInvalidHandle));
     }},

    // --- Files ---------------------------------------------------------------
    {"CreateFileA opens an existing file for reading, sharing everything",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE file = openForReading(w.folder() + "\\file.txt");
       c.that("CreateFileA returns a handle",
              file != INVALID_HANDLE_VALUE && file != nullptr);
       if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
     }},
    {"CreateFileA of a missing file in an existing folder fails with "
     "ERROR_FILE_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateFileFails(w, c, w.folder() + "\\missing.txt",
                            due(kFileNotFound));
     }},
    {"CreateFileA of a file in a missing folder fails with "
     "ERROR_PATH_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateFileFails(w, c, w.folder() + "\\missing\\file.txt",
                            due(kPathNotFound));
     }},
    {"CreateFileA of a missing file in a folder that holds only subfolders "
     "fails with ERROR_FILE_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateFileFails(w, c, w.folder() + "\\subfolders\\uninstall.exe",
                            due(kFileNotFound));
     }},
    {"CreateFileA of a folder, without FILE_FLAG_BACKUP_SEMANTICS, fails "
     "with ERROR_ACCESS_DENIED",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateFileFails(w, c, w.folder() + "\\empty", due(kAccessDenied));
     }},

    // --- Child programs ------------------------------------------------------
    {"CreateProcessA starts a program by its application name alone; a wait "
     "for it ends with WAIT_OBJECT_0 and its exit code is read",
     Situation::kPlain,
     [](World& w, Check& c) {
       Child child = start(w.exitingProgram(), " /S");
       c.equal("CreateProcessA's result", child.started != 0, due(kTrue));
       c.that("it hands out the process and its thread",
              child.info.hProcess != nullptr && child.info.hThread != nullptr);
       c.equal("the wait", WaitForSingleObject(child.info.hProcess, 10000),
               due(kWaitObject0));
       DWORD code = 0;
       c.equal("GetExitCodeProcess's result",
               GetExitCodeProcess(child.info.hProcess, &code) != 0, due(kTrue));
       c.equal("the exit code", code, due(7));
       close(child);
     }},
    {"A wait for a child that is still running ends with WAIT_TIMEOUT, and "
     "its exit code reads STILL_ACTIVE",
     Situation::kPlain,
     [](World& w, Check& c) {
       Child child = start(w.lastingProgram(), " /S");
       c.equal("CreateProcessA's result", child.started != 0, due(kTrue));
       c.equal("the wait", WaitForSingleObject(child.info.hProcess, 200),
               due(kWaitTimeout));
       DWORD code = 0;
       GetExitCodeProcess(child.info.hProcess, &code);
       c.equal("the exit code", code, due(kStillActive));
       TerminateProcess(child.info.hProcess, 0);
       WaitForSingleObject(child.info.hProcess, 10000);
       close(child);
     }},
    {"CreateProcessA of a missing program in an existing folder fails with "
     "ERROR_FILE_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateProcessFails(w, c, w.folder() + "\\missing.exe",
                               due(kFileNotFound));
     }},
    {"CreateProcessA of a program in a missing folder fails with "
     "ERROR_PATH_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateProcessFails(w, c, w.folder() + "\\missing\\uninstall.exe",
                               due(kPathNotFound));
     }},
    {"CreateProcessA of a folder fails with ERROR_ACCESS_DENIED",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateProcessFails(w, c, w.folder() + "\\empty",
                               due(kAccessDenied, kInvalidHandle));
     }},
    {"CreateProcessA of a file that is no program fails with "
     "ERROR_BAD_EXE_FORMAT",
     Situation::kPlain,
     [](World& w, Check& c) {
       checkCreateProcessFails(w, c, w.folder() + "\\file.txt",
                               due(kBadExeFormat));
     }},

    // --- Process rights ------------------------------------------------------
    {"OpenProcess of a hardened process with query, VM read and terminate "
     "is refused with ERROR_ACCESS_DENIED",
     Situation::kPlain,
     [](World& w, Check& c) {
       const DWORD pid = w.hardenedPid();
       w.presetLastError();
       HANDLE process = OpenProcess(kOldSweepRights, FALSE, pid);
       c.that("OpenProcess returns null", process == nullptr);
       c.lastError(due(kAccessDenied));
       if (process != nullptr) CloseHandle(process);
     }},
    {"A hardened process opened for terminate and limited query is named in "
     "device form and terminated",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process = openProcess(w, c, kSweepRights, w.hardenedPid());
       if (process == nullptr) return;
       Filled<MAX_PATH> name;
       const DWORD length =
           K32GetProcessImageFileNameA(process, name.text(), MAX_PATH);
       const std::string image(name.text(), length);
       c.that("the name is in device form",
              image.rfind("\\Device\\", 0) == 0 &&
                  image.size() > w.processBaseName().size() &&
                  image.compare(image.size() - w.processBaseName().size(),
                                std::string::npos, w.processBaseName()) == 0);
       c.equal("the terminator after it", name.bytes[length], due(0));
       c.equal("TerminateProcess's result", TerminateProcess(process, 0) != 0,
               due(kTrue));
       CloseHandle(process);
     }},
    // Microsoft documents only that a handle with the full query right has
    // the limited one; Wine asks the DACL for both, and the fake with it,
    // so that nothing relies on a DACL that grants one without the other.
    {"Asking for the full query right asks for the limited one too: a DACL "
     "that grants only the full one refuses both masks with "
     "ERROR_ACCESS_DENIED, and opens for VM read alone",
     Situation::kPlain,
     [](World& w, Check& c) {
       const DWORD pid = w.fullQueryOnlyPid();
       for (DWORD access : {kOldSweepRights, kSweepRights}) {
         w.presetLastError();
         HANDLE process = OpenProcess(access, FALSE, pid);
         c.that("OpenProcess returns null", process == nullptr);
         c.lastError(due(kAccessDenied));
         if (process != nullptr) CloseHandle(process);
       }
       HANDLE process = openProcess(w, c, PROCESS_VM_READ, pid);
       if (process != nullptr) CloseHandle(process);
     }},
    {"OpenProcess of the idle process fails with ERROR_INVALID_PARAMETER",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.presetLastError();
       HANDLE process = OpenProcess(kSweepRights, FALSE, 0);
       c.that("OpenProcess returns null", process == nullptr);
       c.lastError(due(kInvalidParameter));
     }},
    {"A handle opened for the full query right alone reads the image name "
     "but cannot terminate: ERROR_ACCESS_DENIED",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process =
           openProcess(w, c, PROCESS_QUERY_INFORMATION, w.runningPid());
       if (process == nullptr) return;
       Filled<MAX_PATH> name;
       c.that("it reads the image name, as the limited right allows",
              K32GetProcessImageFileNameA(process, name.text(), MAX_PATH) > 0);
       w.presetLastError();
       c.equal("TerminateProcess's result", TerminateProcess(process, 0),
               due(FALSE));
       c.lastError(due(kAccessDenied));
       CloseHandle(process);
     }},
    {"A handle opened for terminate alone cannot read the exit code or the "
     "image name: ERROR_ACCESS_DENIED",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process = openProcess(w, c, PROCESS_TERMINATE, w.runningPid());
       if (process == nullptr) return;
       DWORD code = 0;
       w.presetLastError();
       c.equal("GetExitCodeProcess's result",
               GetExitCodeProcess(process, &code), due(FALSE));
       c.lastError(due(kAccessDenied));
       Filled<MAX_PATH> name;
       w.presetLastError();
       c.equal("K32GetProcessImageFileNameA's result",
               K32GetProcessImageFileNameA(process, name.text(), MAX_PATH),
               due(0));
       c.lastError(due(kAccessDenied));
       CloseHandle(process);
     }},
    {"A handle opened for limited query reads a running process's exit code "
     "as STILL_ACTIVE",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process = openProcess(w, c, kSweepRights, w.runningPid());
       if (process == nullptr) return;
       DWORD code = 0;
       c.equal("GetExitCodeProcess's result",
               GetExitCodeProcess(process, &code) != 0, due(kTrue));
       c.equal("the exit code", code, due(kStillActive));
       CloseHandle(process);
     }},
    {"TerminateProcess of a process that has already exited fails with "
     "ERROR_ACCESS_DENIED, and its exit code stays",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process = openProcess(w, c, kSweepRights, w.exitedPid());
       if (process == nullptr) return;
       w.presetLastError();
       c.equal("TerminateProcess's result", TerminateProcess(process, 0) != 0,
               due(FALSE, kTrue));
       c.lastError(due(kAccessDenied, kPresetError));
       DWORD code = 0;
       GetExitCodeProcess(process, &code);
       c.equal("the exit code", code, due(7));
       CloseHandle(process);
     }},
    {"K32GetProcessImageFileNameA with a buffer too small for the name "
     "returns 0",
     Situation::kPlain,
     [](World& w, Check& c) {
       HANDLE process = openProcess(w, c, kSweepRights, w.runningPid());
       if (process == nullptr) return;
       Filled<8> name;
       w.presetLastError();
       c.equal("the result",
               K32GetProcessImageFileNameA(process, name.text(), 8), due(0));
       c.lastError(due(kInsufficientBuffer));
       CloseHandle(process);
     }},

    // --- The process list ----------------------------------------------------
    {"K32EnumProcesses lists the running processes and says how many bytes "
     "it wrote, fewer than the buffer when all fit",
     Situation::kPlain,
     [](World& w, Check& c) {
       const DWORD pid = w.runningPid();
       std::vector<DWORD> ids(4096, 0);
       DWORD bytes = 0;
       c.equal("the result",
               K32EnumProcesses(ids.data(), 4096 * sizeof(DWORD), &bytes) != 0,
               due(kTrue));
       c.that("whole ids, fewer than the buffer holds",
              bytes % sizeof(DWORD) == 0 && bytes < 4096 * sizeof(DWORD));
       bool listed = false;
       for (size_t i = 0; i < bytes / sizeof(DWORD); ++i) {
         listed = listed || ids[i] == pid;
       }
       c.that("the running process is listed", listed);
     }},
    {"K32EnumProcesses with room for one id fills it and says the buffer is "
     "full",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.runningPid();
       DWORD id = 0;
       DWORD bytes = 0;
       c.equal("the result", K32EnumProcesses(&id, sizeof id, &bytes) != 0,
               due(kTrue));
       c.equal("the bytes written", bytes, due(4));
     }},
    {"K32EnumProcesses with no buffer at all succeeds and writes nothing",
     Situation::kPlain,
     [](World&, Check& c) {
       DWORD bytes = 99;
       c.equal("the result", K32EnumProcesses(nullptr, 0, &bytes) != 0,
               due(kTrue));
       c.equal("the bytes written", bytes, due(0));
     }},

    // --- Code pages ----------------------------------------------------------
    {"The ANSI code page is 1252 under a Western locale", Situation::kPlain,
     [](World&, Check& c) { c.equal("GetACP", GetACP(), due(1252)); }},
    {"The ANSI code page is 1251 under a Russian locale",
     Situation::kCodePage1251,
     [](World&, Check& c) { c.equal("GetACP", GetACP(), due(1251)); }},
    {"1252 spells ’ € – Ÿ as 0x92 0x80 0x96 0x9F, without best fit",
     Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"\u2019\u20ac\u2013\u0178", WC_NO_BEST_FIT_CHARS,
                     "\x92\x80\x96\x9f", false);
     }},
    {"1252 has no U+0080 or U+009F: both become the default character",
     Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"\u0080", WC_NO_BEST_FIT_CHARS, "?", true);
       checkConverts(c, L"\u009f", 0, "?", true);
     }},
    {"1252 keeps U+0081 as the byte 0x81", Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"\u0081", WC_NO_BEST_FIT_CHARS, "\x81", false);
     }},
    {"1252 keeps Latin-1 letters: é is 0xE9", Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"Ren\u00e9", WC_NO_BEST_FIT_CHARS, "Ren\xe9", false);
     }},
    {"1252 writes Ł as L by best fit, silently, unless told not to",
     Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"\u0141ukasz", 0, "Lukasz", false);
       checkConverts(c, L"\u0141ukasz", WC_NO_BEST_FIT_CHARS, "?ukasz", true);
     }},
    {"1252 has no Cyrillic letters", Situation::kPlain,
     [](World&, Check& c) {
       checkConverts(c, L"\u0418\u0432", WC_NO_BEST_FIT_CHARS, "??", true);
     }},
    {"1251 spells the Ukrainian І ї Ґ and ’ € losslessly",
     Situation::kCodePage1251,
     [](World&, Check& c) {
       checkConverts(c, L"\u0406\u0457\u0490\u2019\u20ac", WC_NO_BEST_FIT_CHARS,
                     "\xb2\xbf\xa5\x92\x88", false);
     }},
    {"1251 spells the Russian alphabet from 0xC0, and ё as 0xB8",
     Situation::kCodePage1251,
     [](World&, Check& c) {
       checkConverts(c, L"\u0418\u0432\u0430\u043d\u0451", WC_NO_BEST_FIT_CHARS,
                     "\xc8\xe2\xe0\xed\xb8", false);
     }},
    {"1251 writes é as e by best fit, unless told not to",
     Situation::kCodePage1251,
     [](World&, Check& c) {
       checkConverts(c, L"Ren\u00e9", 0, "Rene", false);
       checkConverts(c, L"Ren\u00e9", WC_NO_BEST_FIT_CHARS, "Ren?", true);
     }},
    {"WideCharToMultiByte's size query counts the terminator",
     Situation::kPlain,
     [](World&, Check& c) {
       c.equal("the size",
               WideCharToMultiByte(CP_ACP, 0, L"abc", -1, nullptr, 0, nullptr,
                                   nullptr),
               due(4));
     }},
    {"WideCharToMultiByte into a buffer too small fails with "
     "ERROR_INSUFFICIENT_BUFFER",
     Situation::kPlain,
     [](World& w, Check& c) {
       Filled<2> out;
       w.presetLastError();
       c.equal("the result",
               WideCharToMultiByte(CP_ACP, 0, L"abc", -1, out.text(), 2,
                                   nullptr, nullptr),
               due(0));
       c.lastError(due(kInsufficientBuffer));
       c.bytes("the buffer", out.bytes, 2,
               due(untrustworthy(), beginsWith("ab")));
     }},
    {"WideCharToMultiByte takes WC_ERR_INVALID_CHARS only with UTF-8: "
     "ERROR_INVALID_FLAGS",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.presetLastError();
       c.equal("the result", toAnsi(L"a", WC_ERR_INVALID_CHARS).result,
               due(0, 2));
       c.lastError(due(kInvalidFlags, kPresetError));
     }},
    {"UTF-8 converts every letter, four bytes for a surrogate pair",
     Situation::kPlain,
     [](World&, Check& c) {
       char out[16] = {};
       c.equal("the size",
               WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS,
                                   L"\u0418\u00e9\xd83d\xde00", -1, out,
                                   sizeof out, nullptr, nullptr),
               due(9));
       c.text("the text", std::string(out, 9),
              due(std::string("\xd0\x98\xc3\xa9\xf0\x9f\x98\x80", 9)));
     }},
    {"UTF-8 with WC_ERR_INVALID_CHARS refuses a lone surrogate with "
     "ERROR_NO_UNICODE_TRANSLATION",
     Situation::kPlain,
     [](World& w, Check& c) {
       char out[16] = {};
       w.presetLastError();
       c.equal("the size",
               WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, L"a\xd83d",
                                   -1, out, sizeof out, nullptr, nullptr),
               due(0));
       c.lastError(due(kNoUnicodeTranslation));
     }},
    {"UTF-8 refuses WC_NO_BEST_FIT_CHARS with ERROR_INVALID_FLAGS",
     Situation::kPlain,
     [](World& w, Check& c) {
       char out[16] = {};
       w.presetLastError();
       c.equal("the size",
               WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", -1, out,
                                   sizeof out, nullptr, nullptr),
               due(0, 2));
       c.lastError(due(kInvalidFlags, kPresetError));
     }},
    {"UTF-8 refuses a used-default flag to set with "
     "ERROR_INVALID_PARAMETER",
     Situation::kPlain,
     [](World& w, Check& c) {
       char out[16] = {};
       BOOL usedDefault = FALSE;
       w.presetLastError();
       c.equal("the size",
               WideCharToMultiByte(CP_UTF8, 0, L"a", -1, out, sizeof out,
                                   nullptr, &usedDefault),
               due(0, 2));
       c.lastError(due(kInvalidParameter, kPresetError));
     }},

    // --- Short names ---------------------------------------------------------
    {"GetShortPathNameW of a missing path fails with ERROR_FILE_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       FilledWide<MAX_PATH> out;
       w.presetLastError();
       c.equal("the result",
               GetShortPathNameW((w.wideFolder() + L"\\missing").c_str(),
                                 out.units, MAX_PATH),
               due(0));
       c.lastError(due(kFileNotFound));
     }},
    {"GetShortPathNameW of an existing folder gives its length without the "
     "terminator, or the size it needs with it",
     Situation::kPlain,
     [](World& w, Check& c) {
       const std::wstring folder = w.wideFolder();
       FilledWide<MAX_PATH> out;
       const DWORD length =
           GetShortPathNameW(folder.c_str(), out.units, MAX_PATH);
       c.that("it gives a path", length > 0 && length < MAX_PATH);
       if (length == 0 || length >= MAX_PATH) return;
       c.equal("the terminator after it", out.units[length], due(0));
       c.equal("the length", length, due(std::wcslen(out.units)));
       FilledWide<2> tooSmall;
       c.equal("the size asked for",
               GetShortPathNameW(folder.c_str(), tooSmall.units, 2),
               due(length + 1));
       c.bytes("the buffer too small", tooSmall.units, sizeof tooSmall.units,
               due(untrustworthy(), untouched()));
     }},

    // --- Window stations and the box -----------------------------------------
    {"The process's window station is WinSta0, which the user sees",
     Situation::kPlain,
     [](World&, Check& c) {
       HWINSTA station = GetProcessWindowStation();
       c.that("there is a station", station != nullptr);
       USEROBJECTFLAGS flags{};
       DWORD needed = 0;
       c.equal("the result",
               GetUserObjectInformationA(station, UOI_FLAGS, &flags,
                                         sizeof flags, &needed) != 0,
               due(kTrue));
       c.equal("WSF_VISIBLE", flags.dwFlags & WSF_VISIBLE, due(WSF_VISIBLE));
     }},
    {"UOI_FLAGS into a 4-byte buffer fails, says 12 bytes are needed, with "
     "ERROR_INSUFFICIENT_BUFFER",
     Situation::kPlain,
     [](World& w, Check& c) {
       Filled<4> flags;
       DWORD needed = 0;
       w.presetLastError();
       c.equal("the result",
               GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS,
                                         flags.bytes, 4, &needed),
               due(FALSE));
       c.lastError(due(kInsufficientBuffer, kBufferOverflow));
       c.equal("the size needed", needed, due(12));
     }},
    {"A window station nobody sees lacks WSF_VISIBLE",
     Situation::kHiddenStation,
     [](World&, Check& c) {
       USEROBJECTFLAGS flags{};
       flags.dwFlags = WSF_VISIBLE;
       DWORD needed = 0;
       c.equal("the result",
               GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS,
                                         &flags, sizeof flags, &needed) != 0,
               due(kTrue));
       c.equal("WSF_VISIBLE", flags.dwFlags & WSF_VISIBLE, due(0));
     }},
    {"MessageBoxA returns IDOK once the user presses OK",
     Situation::kMessageBox,
     [](World&, Check& c) {
       c.equal("the result",
               MessageBoxA(nullptr, "A fact about the box", "Tovik", MB_OK),
               due(kIdOk));
     }},

    // --- The roaming folder --------------------------------------------------
    {"SHGetKnownFolderPath gives the roaming folder without a trailing "
     "backslash, in memory that CoTaskMemFree releases",
     Situation::kPlain,
     [](World&, Check& c) {
       PWSTR path = nullptr;
       c.equal("the result",
               SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path),
               due(S_OK));
       const std::wstring folder = path != nullptr ? path : L"";
       c.that("a path with a drive, without a trailing backslash",
              folder.size() > 3 && folder[1] == L':' && folder.back() != L'\\');
       CoTaskMemFree(path);
     }},
    {"SHGetKnownFolderPath of a roaming folder redirected to a missing folder "
     "fails with HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) and hands out null",
     Situation::kRoamingFolderMissing,
     [](World&, Check& c) {
       PWSTR path = reinterpret_cast<PWSTR>(&path);
       c.equal("the result",
               SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path),
               due(static_cast<HRESULT>(0x80070003)));
       c.that("the path is null", path == nullptr);
       CoTaskMemFree(path);
     }},

    // --- Libraries -----------------------------------------------------------
    {"GetModuleHandleA finds kernel32, and no library that was never loaded",
     Situation::kPlain,
     [](World& w, Check& c) {
       c.that("kernel32 is loaded",
              GetModuleHandleA("kernel32.dll") != nullptr);
       w.presetLastError();
       c.that("the other is not",
              GetModuleHandleA("tovik-facts-none.dll") == nullptr);
       c.lastError(due(kModNotFound));
     }},
    {"GetProcAddress finds SetDefaultDllDirectories in kernel32, and fails "
     "with ERROR_PROC_NOT_FOUND for a name it does not export",
     Situation::kPlain,
     [](World& w, Check& c) {
       HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
       c.that("SetDefaultDllDirectories is exported",
              GetProcAddress(kernel32, "SetDefaultDllDirectories") != nullptr);
       w.presetLastError();
       c.that("the other is not",
              GetProcAddress(kernel32, "TovikFactsNone") == nullptr);
       c.lastError(due(kProcNotFound));
     }},
    {"GetProcAddress on a handle that is no module fails with "
     "ERROR_MOD_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       // Readable memory that holds no image.
       std::vector<unsigned char> memory(0x2000, 0);
       w.presetLastError();
       c.that("GetProcAddress returns null",
              GetProcAddress(reinterpret_cast<HMODULE>(memory.data()),
                             "SetDefaultDllDirectories") == nullptr);
       c.lastError(due(kModNotFound));
     }},
    {"LoadLibraryExA loads msi.dll from the system folder by the search flag",
     Situation::kPlain,
     [](World&, Check& c) {
       c.that("it loads",
              LoadLibraryExA("msi.dll", nullptr,
                             LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr);
     }},
    {"LoadLibraryExA loads msi.dll by its full system path with the altered "
     "search",
     Situation::kPlain,
     [](World& w, Check& c) {
       c.that("it loads",
              LoadLibraryExA((w.systemFolder() + "\\msi.dll").c_str(), nullptr,
                             LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr);
     }},
    {"LoadLibraryExA refuses the altered search combined with a search flag "
     "with ERROR_INVALID_PARAMETER",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.presetLastError();
       c.that("it does not load",
              LoadLibraryExA("msi.dll", nullptr,
                             LOAD_WITH_ALTERED_SEARCH_PATH |
                                 LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr);
       c.lastError(due(kInvalidParameter));
     }},
    {"LoadLibraryExA of a library the system folder lacks fails with "
     "ERROR_MOD_NOT_FOUND",
     Situation::kPlain,
     [](World& w, Check& c) {
       w.presetLastError();
       c.that("it does not load",
              LoadLibraryExA("tovik-facts-none.dll", nullptr,
                             LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr);
       c.lastError(due(kModNotFound));
     }},
    {"GetSystemDirectoryA gives the system folder and its length without the "
     "terminator, or the size it needs with it",
     Situation::kPlain,
     [](World& w, Check& c) {
       Filled<MAX_PATH> folder;
       const std::string expected = w.systemFolder();
       c.equal("the length", GetSystemDirectoryA(folder.text(), MAX_PATH),
               due(static_cast<long long>(expected.size())));
       c.bytes("the folder", folder.bytes, MAX_PATH,
               due(beginsWith(expected + std::string(1, '\0'))));
       Filled<4> tooSmall;
       c.equal("the size asked for", GetSystemDirectoryA(tooSmall.text(), 4),
               due(static_cast<long long>(expected.size() + 1)));
     }},
    {"SetDefaultDllDirectories refuses no flags and unknown flags with "
     "ERROR_INVALID_PARAMETER, and takes the system folder alone",
     Situation::kLibrarySearch,
     [](World& w, Check& c) {
       SetDefaultDllDirectoriesFunction set = setDefaultDllDirectories();
       c.that("it is there", set != nullptr);
       if (set == nullptr) return;
       for (DWORD flags : {0x0u, 0x1u, LOAD_LIBRARY_SEARCH_SYSTEM32 | 0x2u}) {
         w.presetLastError();
         c.equal("the result", set(flags), due(FALSE));
         c.lastError(due(kInvalidParameter));
       }
       c.equal("the result", set(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0,
               due(kTrue));
       c.that("msi.dll then loads by name from the system folder",
              LoadLibraryExA("msi.dll", nullptr, 0) != nullptr);
     }},
    {"SetDllDirectoryA(\"\") takes the current folder out of the search",
     Situation::kLibrarySearch,
     [](World&, Check& c) {
       c.equal("the result", SetDllDirectoryA("") != 0, due(kTrue));
     }},

    // --- Windows Installer ---------------------------------------------------
    {"MsiEnumProductsA lists the installed product, then answers "
     "ERROR_NO_MORE_ITEMS",
     Situation::kPlain,
     [](World&, Check& c) {
       auto enumProducts = msiExport<EnumProducts>("MsiEnumProductsA");
       c.that("msi.dll exports it", enumProducts != nullptr);
       if (enumProducts == nullptr) return;
       bool listed = false;
       char code[39];
       UINT result = 0;
       DWORD index = 0;
       for (; (result = enumProducts(index, code)) == ERROR_SUCCESS; ++index) {
         listed = listed || std::strcmp(code, kProductCode) == 0;
       }
       c.that("the product is listed", listed);
       c.equal("the answer past the end", result, due(kNoMoreItems));
     }},
    {"MsiEnumProductsA with an index that skips ahead fails with "
     "ERROR_INVALID_PARAMETER",
     Situation::kPlain,
     [](World&, Check& c) {
       auto enumProducts = msiExport<EnumProducts>("MsiEnumProductsA");
       if (enumProducts == nullptr) return;
       char code[39];
       c.equal("the first", enumProducts(0, code), due(ERROR_SUCCESS));
       c.equal("one that skips ahead", enumProducts(5, code),
               due(kInvalidParameter));
     }},
    {"MsiGetProductInfoA gives ProductName and its length without the "
     "terminator",
     Situation::kPlain,
     [](World&, Check& c) {
       auto getInfo = msiExport<GetProductInfo>("MsiGetProductInfoA");
       c.that("msi.dll exports it", getInfo != nullptr);
       if (getInfo == nullptr) return;
       Filled<64> name;
       DWORD length = 64;
       c.equal("the result",
               getInfo(kProductCode, INSTALLPROPERTY_PRODUCTNAME, name.text(),
                       &length),
               due(ERROR_SUCCESS));
       c.equal("the length", length,
               due(static_cast<long long>(std::strlen(kProductName))));
       c.bytes("the name", name.bytes, 64,
               due(beginsWith(std::string(kProductName) + '\0')));
       char type[10] = {};
       length = sizeof type;
       c.equal(
           "AssignmentType's result",
           getInfo(kProductCode, INSTALLPROPERTY_ASSIGNMENTTYPE, type, &length),
           due(ERROR_SUCCESS));
       c.text("AssignmentType", type, due(std::string("0")));
     }},
    {"MsiGetProductInfoA with a buffer too small answers ERROR_MORE_DATA and "
     "the length without the terminator; what the buffer holds is not "
     "documented",
     Situation::kPlain,
     [](World&, Check& c) {
       auto getInfo = msiExport<GetProductInfo>("MsiGetProductInfoA");
       if (getInfo == nullptr) return;
       Filled<6> name;
       DWORD length = 6;
       c.equal("the result",
               getInfo(kProductCode, INSTALLPROPERTY_PRODUCTNAME, name.text(),
                       &length),
               due(kMoreData));
       c.equal("the length", length,
               due(static_cast<long long>(std::strlen(kProductName))));
       c.bytes("the buffer", name.bytes, 6, due(untrustworthy(), untouched()));
     }},
    {"MsiGetProductInfoA without a buffer gives the length alone",
     Situation::kPlain,
     [](World&, Check& c) {
       auto getInfo = msiExport<GetProductInfo>("MsiGetProductInfoA");
       if (getInfo == nullptr) return;
       DWORD length = 0;
       c.equal(
           "the result",
           getInfo(kProductCode, INSTALLPROPERTY_PRODUCTNAME, nullptr, &length),
           due(ERROR_SUCCESS));
       c.equal("the length", length,
               due(static_cast<long long>(std::strlen(kProductName))));
     }},
    {"MsiGetProductInfoA of an unknown product answers "
     "ERROR_UNKNOWN_PRODUCT, and of an unknown attribute "
     "ERROR_UNKNOWN_PROPERTY",
     Situation::kPlain,
     [](World&, Check& c) {
       auto getInfo = msiExport<GetProductInfo>("MsiGetProductInfoA");
       if (getInfo == nullptr) return;
       char value[64];
       DWORD length = sizeof value;
       c.equal("an unknown product",
               getInfo("{00000000-1111-2222-3333-444444444444}",
                       INSTALLPROPERTY_PRODUCTNAME, value, &length),
               due(kUnknownProduct));
       length = sizeof value;
       c.equal("an unknown attribute",
               getInfo(kProductCode, "TovikFactsNone", value, &length),
               due(kUnknownProperty));
     }},
};

}  // namespace

const std::vector<Fact> kFacts = kRows;

}  // namespace facts

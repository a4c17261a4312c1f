#include "fake_machine.h"

#include "code_page_table.h"

#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <type_traits>

// Windows' sizes, which the program's printf conversions and buffer
// arithmetic rely on; a native long would be twice as wide.
static_assert(sizeof(DWORD) == 4 && sizeof(UINT) == 4, "32-bit unsigned");
static_assert(sizeof(LONG) == 4 && sizeof(HRESULT) == 4, "32-bit signed");
static_assert(static_cast<LONG>(-1) < 0 && static_cast<HRESULT>(-1) < 0,
              "LONG and HRESULT are signed");
static_assert(sizeof(GUID) == 16, "GUID layout");

namespace fake {
namespace {

// Rights that let a caller read a process's exit code and image name.
constexpr DWORD kQueryRights =
    PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kInfinite = 0xFFFFFFFF;
constexpr HRESULT kFileNotFoundResult = static_cast<HRESULT>(0x80070002);

// Windows compares paths without regard to the case of ASCII letters.
std::string pathKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return key;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string describe(HANDLE handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  return text;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// Fills a caller's buffer with `text` and its terminator, and zeroes the rest
// of the capacity the caller claimed, so that a claim larger than the real
// buffer shows up under AddressSanitizer even when the text is short.
void fillBuffer(char* buffer, size_t capacity, const char* text, size_t size) {
  std::memcpy(buffer, text, size);
  std::memset(buffer + size, 0, capacity - size);
}

// What the fake leaves in a buffer where Windows documents nothing: no
// terminator and no text, so that code which reads it anyway is caught.
void fillUntrustworthy(void* buffer, size_t bytes) {
  if (buffer != nullptr) std::memset(buffer, kUntrustworthyByte, bytes);
}

// Paths as the file map keeps them: each UTF-16 unit as one byte where it
// fits, so that the wide calls find what the narrow ones planted.
std::string narrowOf(const std::wstring& wide) {
  std::string narrow;
  for (wchar_t unit : wide) {
    narrow += unit < 0x100 ? static_cast<char>(unit) : '\x7f';
  }
  return narrow;
}

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

}  // namespace

Machine::~Machine() {
  for (void* text : liveFolderTexts_) {
    delete[] static_cast<wchar_t*>(text);
  }
}

// --- Scripting -------------------------------------------------------------

void Machine::failConversion(int callNumber, DWORD error) {
  conversionFailures_[callNumber] = error;
}

void Machine::addFile(const std::string& path) {
  files_[pathKey(path)] = File{FileKind::kReadable, 0};
}

void Machine::addUnreadableFile(const std::string& path, DWORD error) {
  files_[pathKey(path)] = File{FileKind::kUnreadable, error};
}

void Machine::addFolder(const std::string& path) {
  files_[pathKey(path)] = File{FileKind::kFolder, 0};
}

void Machine::failProcessEnumeration(DWORD error, int callNumber) {
  enumProcessesFailures_[callNumber] = error;
}

void Machine::addProgram(const std::string& path, const Program& program) {
  programs_[pathKey(path)] = program;
}

void Machine::addUninstaller(const std::string& path, const Program& program) {
  addFile(path);
  addProgram(path, program);
}

void Machine::failProductEnumeration(DWORD index, UINT error) {
  enumProductsFailures_[index] = error;
}

void Machine::failLibraryLoad(const std::string& fileName, DWORD error) {
  libraryLoadFailures_[pathKey(fileName)] = error;
}

void Machine::plantLibraryBesideProgram(const std::string& fileName) {
  plantedBesideProgram_.insert(pathKey(fileName));
}

// --- What happened ---------------------------------------------------------

std::vector<DWORD> Machine::productNameLengthsPassed() const {
  std::vector<DWORD> lengths;
  for (const ProductInfoCall& call : productInfoCalls) {
    if (call.attribute == INSTALLPROPERTY_PRODUCTNAME) {
      lengths.push_back(call.lengthPassed);
    }
  }
  return lengths;
}

std::vector<std::string> Machine::handleFaults() const {
  std::vector<std::string> faults;
  for (const auto& [handle, entry] : handles_) {
    if (entry.kind == HandleKind::kWindowStation) {
      if (entry.closes > 0) {
        faults.push_back(entry.what +
                         " belongs to the process, yet it was closed");
      }
    } else if (entry.closes == 0) {
      faults.push_back(entry.what + " was never closed");
    } else if (entry.closes > 1) {
      faults.push_back(entry.what + " was closed " +
                       std::to_string(entry.closes) + " times");
    }
  }
  for (HANDLE handle : unknownCloses_) {
    faults.push_back("CloseHandle(" + describe(handle) +
                     "): a handle the machine never handed out");
  }
  return faults;
}

std::vector<std::string> Machine::allocationFaults() const {
  std::vector<std::string> faults = allocationFaults_;
  if (!liveFolderTexts_.empty()) {
    faults.push_back(std::to_string(liveFolderTexts_.size()) +
                     " known-folder text(s) never released");
  }
  return faults;
}

// --- Handles ---------------------------------------------------------------

HANDLE Machine::newHandle(const HandleEntry& entry) {
  nextHandleValue_ += 4;
  HANDLE handle = reinterpret_cast<HANDLE>(nextHandleValue_);
  handles_[handle] = entry;
  handles_[handle].what += " (handle " + describe(handle) + ")";
  return handle;
}

Machine::HandleEntry* Machine::liveHandle(HANDLE handle) {
  auto found = handles_.find(handle);
  if (found == handles_.end() || found->second.closes > 0) {
    return nullptr;
  }
  return &found->second;
}

BOOL Machine::closeHandle(HANDLE handle) {
  auto found = handles_.find(handle);
  if (found == handles_.end()) {
    unknownCloses_.push_back(handle);
    // INVALID_HANDLE_VALUE is the current process's pseudo-handle, which
    // Windows closes without complaint; the program closing it is still a
    // fault, reported by handleFaults().
    if (handle == INVALID_HANDLE_VALUE) {
      return kTrue;
    }
    return fail(kErrorInvalidHandle);
  }
  if (++found->second.closes > 1) {
    return fail(kErrorInvalidHandle);
  }
  if (closeHandleError_ != 0) {
    return fail(closeHandleError_);
  }
  return kTrue;
}

// --- Files -----------------------------------------------------------------

const Machine::File* Machine::findFile(const std::string& path) const {
  auto found = files_.find(pathKey(path));
  return found == files_.end() ? nullptr : &found->second;
}

// A folder exists when it was added, or holds anything that was, however
// deep; the roaming folder and the folders above it always do.
bool Machine::folderExists(const std::string& path) const {
  const std::string folder = pathKey(path);
  auto below = [&folder](const std::string& key) {
    return key.rfind(folder + "\\", 0) == 0;
  };
  const std::string roaming = pathKey(narrowOf(roamingFolder_));
  if (roaming == folder || below(roaming)) {
    return true;
  }
  return std::any_of(files_.begin(), files_.end(), [&](const auto& file) {
    return (file.first == folder && file.second.kind == FileKind::kFolder) ||
           below(file.first);
  });
}

// Windows tells a missing file in an existing folder (2) from a missing
// folder (3).
DWORD Machine::missingPathError(const std::string& path) const {
  return folderExists(parentOf(path)) ? kErrorFileNotFound : kErrorPathNotFound;
}

HANDLE Machine::createFile(LPCSTR fileName, DWORD desiredAccess,
                           DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes,
                           DWORD creationDisposition, DWORD flagsAndAttributes,
                           HANDLE templateFile) {
  createFileCalls.push_back(CreateFileCall{fileName != nullptr ? fileName : "",
                                           desiredAccess, shareMode,
                                           creationDisposition});
  // Accepted as Windows accepts them; nothing here depends on them.
  static_cast<void>(securityAttributes);
  static_cast<void>(flagsAndAttributes);
  static_cast<void>(templateFile);
  // Only opening what is there is modelled; nothing here creates files.
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
    fail(kErrorInvalidParameter);
    return INVALID_HANDLE_VALUE;
  }
  const File* file = findFile(fileName);
  if (file == nullptr) {
    fail(missingPathError(fileName));
    return INVALID_HANDLE_VALUE;
  }
  switch (file->kind) {
    case FileKind::kFolder:
      // Opening a folder needs FILE_FLAG_BACKUP_SEMANTICS.
      fail(kErrorAccessDenied);
      return INVALID_HANDLE_VALUE;
    case FileKind::kUnreadable:
      fail(file->error);
      return INVALID_HANDLE_VALUE;
    case FileKind::kReadable:
      break;
  }
  return newHandle(HandleEntry{
      HandleKind::kFile, std::string("file ") + fileName, desiredAccess, 0, 0});
}

// --- Child programs --------------------------------------------------------

BOOL Machine::createProcess(LPCSTR applicationName, LPSTR commandLine,
                            LPSECURITY_ATTRIBUTES processAttributes,
                            LPSECURITY_ATTRIBUTES threadAttributes,
                            BOOL inheritHandles, DWORD creationFlags,
                            LPVOID environment, LPCSTR currentDirectory,
                            LPSTARTUPINFOA startupInfo,
                            LPPROCESS_INFORMATION processInformation) {
  CreateProcessCall call;
  if (applicationName != nullptr) {
    call.applicationName = applicationName;
  }
  if (commandLine != nullptr) {
    call.commandLine = commandLine;
  }
  call.processAttributesGiven = processAttributes != nullptr;
  call.threadAttributesGiven = threadAttributes != nullptr;
  call.inheritHandles = inheritHandles;
  call.creationFlags = creationFlags;
  call.environmentGiven = environment != nullptr;
  if (currentDirectory != nullptr) {
    call.currentDirectory = currentDirectory;
  }
  if (startupInfo != nullptr) {
    const STARTUPINFOA& s = *startupInfo;
    call.startupInfoSize = s.cb;
    call.startupInfoOtherwiseZero =
        s.lpReserved == nullptr && s.lpDesktop == nullptr &&
        s.lpTitle == nullptr && s.dwX == 0 && s.dwY == 0 && s.dwXSize == 0 &&
        s.dwYSize == 0 && s.dwXCountChars == 0 && s.dwYCountChars == 0 &&
        s.dwFillAttribute == 0 && s.dwFlags == 0 && s.wShowWindow == 0 &&
        s.cbReserved2 == 0 && s.lpReserved2 == nullptr &&
        s.hStdInput == nullptr && s.hStdOutput == nullptr &&
        s.hStdError == nullptr;
  }
  if (processInformation != nullptr) {
    const PROCESS_INFORMATION& p = *processInformation;
    call.processInformationZeroed = p.hProcess == nullptr &&
                                    p.hThread == nullptr &&
                                    p.dwProcessId == 0 && p.dwThreadId == 0;
  }
  createProcessCalls.push_back(call);
  CreateProcessCall& recorded = createProcessCalls.back();

  if (startupInfo == nullptr || processInformation == nullptr) {
    return fail(kErrorInvalidParameter);
  }
  // Without an application name Windows takes the program from the front of
  // the command line.
  std::string path;
  if (applicationName != nullptr) {
    path = applicationName;
  } else if (commandLine != nullptr) {
    path = std::string(commandLine).substr(0, std::strcspn(commandLine, " "));
  }
  auto program = programs_.find(pathKey(path));
  if (program == programs_.end()) {
    const File* file = findFile(path);
    if (file != nullptr) {
      return fail(file->kind == FileKind::kReadable ? kErrorBadExeFormat
                                                    : kErrorAccessDenied);
    }
    return fail(missingPathError(path));
  }
  if (program->second.startError != 0) {
    return fail(program->second.startError);
  }

  children_.push_back(Child{program->second, 0});
  const size_t index = children_.size() - 1;
  processInformation->hProcess =
      newHandle(HandleEntry{HandleKind::kChildProcess,
                            "process of child " + path, 0x1FFFFF, index, 0});
  processInformation->hThread = newHandle(HandleEntry{
      HandleKind::kChildThread, "thread of child " + path, 0x1FFFFF, index, 0});
  processInformation->dwProcessId = static_cast<DWORD>(5000 + 4 * index);
  processInformation->dwThreadId = static_cast<DWORD>(7000 + 4 * index);
  recorded.process = processInformation->hProcess;
  return kTrue;
}

DWORD Machine::waitForSingleObject(HANDLE handle, DWORD milliseconds) {
  waitCalls.push_back(WaitCall{handle, milliseconds});
  HandleEntry* entry = liveHandle(handle);
  if (entry == nullptr) {
    fail(kErrorInvalidHandle);
    return kWaitFailed;
  }
  switch (entry->kind) {
    case HandleKind::kChildProcess:
    case HandleKind::kChildThread: {
      Child& child = children_[entry->index];
      const DWORD runsFor = child.program.runsForMilliseconds;
      if (child.waitedMilliseconds >= runsFor) {
        return kWaitObject0;
      }
      if (milliseconds == kInfinite ||
          runsFor - child.waitedMilliseconds <= milliseconds) {
        child.waitedMilliseconds = runsFor;
        return kWaitObject0;
      }
      child.waitedMilliseconds += milliseconds;
      return kWaitTimeout;
    }
    case HandleKind::kProcess:
      // The sweep's handles are opened without SYNCHRONIZE.
      fail(kErrorAccessDenied);
      return kWaitFailed;
    case HandleKind::kFile:
      return kWaitObject0;
    case HandleKind::kWindowStation:
      fail(kErrorInvalidHandle);  // not an object one can wait for
      return kWaitFailed;
  }
  return kWaitFailed;
}

BOOL Machine::getExitCodeProcess(HANDLE handle, LPDWORD exitCode) {
  exitCodeCalls.push_back(handle);
  HandleEntry* entry = liveHandle(handle);
  if (entry == nullptr) {
    return fail(kErrorInvalidHandle);
  }
  if (exitCode == nullptr) {
    return fail(kErrorInvalidParameter);
  }
  if (entry->kind == HandleKind::kChildProcess) {
    const Child& child = children_[entry->index];
    if (child.program.exitCodeReadError != 0) {
      return fail(child.program.exitCodeReadError);
    }
    *exitCode = child.waitedMilliseconds >= child.program.runsForMilliseconds
                    ? child.program.exitCode
                    : STILL_ACTIVE;
    return kTrue;
  }
  if (entry->kind == HandleKind::kProcess) {
    if ((entry->access & kQueryRights) == 0) {
      return fail(kErrorAccessDenied);
    }
    const Process& process = processes_[entry->index];
    if (process.exitCodeReadError != 0) {
      return fail(process.exitCodeReadError);
    }
    if (process.exitedWith) {
      *exitCode = *process.exitedWith;
    } else {
      *exitCode = terminated_.count(entry->index)
                      ? process.exitCodeAfterTerminate
                      : STILL_ACTIVE;
    }
    return kTrue;
  }
  return fail(kErrorInvalidHandle);
}

// --- Running processes -----------------------------------------------------

BOOL Machine::enumProcesses(DWORD* ids, DWORD bufferBytes,
                            LPDWORD bytesReturned) {
  enumProcessesCalls.push_back(bufferBytes);
  auto failure =
      enumProcessesFailures_.find(static_cast<int>(enumProcessesCalls.size()));
  if (failure != enumProcessesFailures_.end()) {
    return fail(failure->second);
  }
  // No buffer at all is no error: nothing is written.
  if ((ids == nullptr && bufferBytes != 0) || bytesReturned == nullptr) {
    return fail(kErrorInvalidParameter);
  }
  // Fills what fits and says how much that was; a full buffer is the only
  // sign that there may be more.
  const size_t count =
      std::min<size_t>(bufferBytes / sizeof(DWORD), processes_.size());
  for (size_t i = 0; i < count; ++i) {
    ids[i] = processes_[i].pid;
  }
  *bytesReturned = processListAlwaysFull
                       ? bufferBytes
                       : static_cast<DWORD>(count * sizeof(DWORD));
  return kTrue;
}

HANDLE Machine::openProcess(DWORD desiredAccess, BOOL inheritHandle,
                            DWORD pid) {
  openProcessCalls.push_back(
      OpenProcessCall{desiredAccess, inheritHandle, pid, nullptr});
  if (pid == 0) {  // the idle process cannot be opened
    fail(kErrorInvalidParameter);
    return nullptr;
  }
  auto found = std::find_if(processes_.begin(), processes_.end(),
                            [pid](const Process& p) { return p.pid == pid; });
  if (found == processes_.end()) {
    fail(kErrorInvalidParameter);
    return nullptr;
  }
  if (found->openError != 0) {
    fail(found->openError);
    return nullptr;
  }
  // Asking for the full query right asks for the limited one too, so a
  // DACL must grant both; whatever opens for the full right then also
  // opens for the limited one. A handle with either right may query.
  const DWORD asked = (desiredAccess & PROCESS_QUERY_INFORMATION) != 0
                          ? desiredAccess | PROCESS_QUERY_LIMITED_INFORMATION
                          : desiredAccess;
  if ((asked & ~found->grantedRights) != 0) {
    fail(kErrorAccessDenied);
    return nullptr;
  }
  const size_t index = static_cast<size_t>(found - processes_.begin());
  HANDLE handle = newHandle(HandleEntry{HandleKind::kProcess,
                                        "process " + std::to_string(pid),
                                        desiredAccess, index, 0});
  openProcessCalls.back().result = handle;
  return handle;
}

DWORD Machine::getProcessImageFileName(HANDLE handle, LPSTR buffer,
                                       DWORD size) {
  imageNameCalls.push_back(ImageNameCall{handle, size});
  HandleEntry* entry = liveHandle(handle);
  if (entry == nullptr || entry->kind != HandleKind::kProcess) {
    fail(kErrorInvalidHandle);
    return 0;
  }
  if ((entry->access & kQueryRights) == 0) {
    fail(kErrorAccessDenied);
    return 0;
  }
  const Process& process = processes_[entry->index];
  if (process.nameError != 0) {
    fail(process.nameError);
    return 0;
  }
  if (buffer == nullptr || process.imageName.size() + 1 > size) {
    fail(kErrorInsufficientBuffer);
    return 0;
  }
  fillBuffer(buffer, size, process.imageName.c_str(),
             process.imageName.size() + 1);
  return static_cast<DWORD>(process.imageName.size());
}

BOOL Machine::terminateProcess(HANDLE handle, UINT exitCode) {
  terminateCalls.push_back(TerminateCall{handle, exitCode});
  HandleEntry* entry = liveHandle(handle);
  if (entry == nullptr) {
    return fail(kErrorInvalidHandle);
  }
  if (entry->kind == HandleKind::kChildProcess) {
    Child& child = children_[entry->index];
    child.program.exitCode = exitCode;
    child.waitedMilliseconds = child.program.runsForMilliseconds;
    return kTrue;
  }
  if (entry->kind != HandleKind::kProcess) {
    return fail(kErrorInvalidHandle);
  }
  if ((entry->access & PROCESS_TERMINATE) == 0) {
    return fail(kErrorAccessDenied);
  }
  const Process& process = processes_[entry->index];
  if (process.terminateError != 0) {
    return fail(process.terminateError);
  }
  // Windows refuses to terminate a process that has already ended, and its
  // exit code stays the one it ended with.
  const bool gone = process.exitedWith.has_value() ||
                    (terminated_.count(entry->index) != 0 &&
                     process.exitCodeAfterTerminate != STILL_ACTIVE);
  if (gone) {
    return fail(kErrorAccessDenied);
  }
  terminated_.insert(entry->index);
  terminatedPids_.push_back(process.pid);
  return kTrue;
}

// --- Text ------------------------------------------------------------------

int Machine::wideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide,
                                 int cchWideChar, LPSTR narrow, int cbMultiByte,
                                 LPCCH defaultChar, LPBOOL usedDefaultChar) {
  auto failure = conversionFailures_.find(++conversionCallCount_);
  if (failure != conversionFailures_.end()) {
    fail(failure->second);
    return 0;
  }
  if (wide == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (narrow == nullptr && cbMultiByte != 0)) {
    fail(kErrorInvalidParameter);
    return 0;
  }
  // -1: the text and its terminating zero.
  std::wstring input =
      cchWideChar == -1 ? std::wstring(wide) : std::wstring(wide, cchWideChar);
  if (cchWideChar == -1) {
    input.push_back(L'\0');
  }

  const UINT page = codePage == CP_ACP ? ansiCodePage_ : codePage;
  std::string output;
  bool usedDefault = false;
  if (page == kCodePageUtf8) {
    // UTF-8 has no default character and no best fit: Windows refuses both.
    if ((flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
      fail(kErrorInvalidFlags);
      return 0;
    }
    if (defaultChar != nullptr || usedDefaultChar != nullptr) {
      fail(kErrorInvalidParameter);
      return 0;
    }
    for (size_t i = 0; i < input.size(); ++i) {
      const uint32_t unit = static_cast<uint32_t>(input[i]);
      if (isHighSurrogate(unit) && i + 1 < input.size() &&
          isLowSurrogate(static_cast<uint32_t>(input[i + 1]))) {
        const uint32_t low = static_cast<uint32_t>(input[++i]);
        appendUtf8(output, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
        if (flags & WC_ERR_INVALID_CHARS) {
          fail(kErrorNoUnicodeTranslation);
          return 0;
        }
        appendUtf8(output, 0xFFFD);
      } else {
        appendUtf8(output, unit);
      }
    }
  } else if (const CodePageTable* table = codePageTable(page)) {
    if ((flags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) != 0) {
      fail(kErrorInvalidFlags);
      return 0;
    }
    const char substitute = defaultChar != nullptr
                                ? *defaultChar
                                : static_cast<char>(table->defaultChar);
    for (wchar_t unit : input) {
      const uint8_t byte = table->fromUnicode[static_cast<uint16_t>(unit)];
      // The table maps a letter the code page lacks to a look-alike (best
      // fit) or to the default character. A look-alike is taken silently
      // unless the caller forbids it; then, and for the default character,
      // only a byte that converts back to the same letter counts.
      const bool exact = table->toUnicode[byte] == static_cast<uint16_t>(unit);
      if (exact ||
          ((flags & WC_NO_BEST_FIT_CHARS) == 0 && byte != table->defaultChar)) {
        output += static_cast<char>(byte);
      } else {
        output += substitute;
        usedDefault = true;
      }
    }
  } else {
    fail(kErrorInvalidParameter);  // a code page the machine does not have
    return 0;
  }

  if (usedDefaultChar != nullptr) {
    *usedDefaultChar = usedDefault ? kTrue : FALSE;
  }
  const int size = static_cast<int>(output.size());
  if (cbMultiByte == 0) {
    return size;
  }
  if (size > cbMultiByte) {
    fillUntrustworthy(narrow, static_cast<size_t>(cbMultiByte));
    fail(kErrorInsufficientBuffer);
    return 0;
  }
  fillBuffer(narrow, static_cast<size_t>(cbMultiByte), output.data(),
             output.size());
  return size;
}

// --- Shell -----------------------------------------------------------------

HRESULT Machine::getKnownFolderPath(const GUID& id, DWORD flags, HANDLE token,
                                    PWSTR* path) {
  const bool roaming =
      std::memcmp(&id, &FOLDERID_RoamingAppData, sizeof(GUID)) == 0;
  knownFolderCalls.push_back(KnownFolderCall{roaming, flags, token});
  if (path == nullptr) {
    return kInvalidArgResult;
  }
  *path = nullptr;
  if (!roaming) {
    return kFileNotFoundResult;  // the only folder this machine knows
  }
  if (roamingFolderResult_ != S_OK) {
    return roamingFolderResult_;
  }
  wchar_t* text = new wchar_t[roamingFolder_.size() + 1];
  std::wmemcpy(text, roamingFolder_.c_str(), roamingFolder_.size() + 1);
  liveFolderTexts_.insert(text);
  // The allocator may hand out a released address again.
  releasedFolderTexts_.erase(reinterpret_cast<uintptr_t>(text));
  ++foldersHandedOut_;
  *path = text;
  return S_OK;
}

void Machine::coTaskMemFree(LPVOID memory) {
  if (memory == nullptr) {
    return;
  }
  const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
  if (liveFolderTexts_.erase(memory) == 1) {
    releasedFolderTexts_.insert(address);
    delete[] static_cast<wchar_t*>(memory);
    ++foldersReleased_;
  } else if (releasedFolderTexts_.count(address)) {
    allocationFaults_.push_back("a known-folder text was released twice");
  } else {
    allocationFaults_.push_back(
        "CoTaskMemFree of memory the shell never handed out");
  }
}

DWORD Machine::getShortPathName(LPCWSTR longPath, LPWSTR shortPath,
                                DWORD size) {
  if (shortPathError_ != 0) {
    fail(shortPathError_);
    return 0;
  }
  if (longPath == nullptr || (shortPath == nullptr && size != 0)) {
    fail(kErrorInvalidParameter);
    return 0;
  }
  std::wstring result = longPath;
  const std::string narrow = narrowOf(result);
  if (findFile(narrow) == nullptr && !folderExists(narrow)) {
    fail(missingPathError(narrow));
    return 0;
  }
  if (shortNamesKept_) {
    const auto found = shortPaths_.find(result);
    if (found != shortPaths_.end()) {
      result = found->second;
    }
  }
  // Too small a buffer gets the size it needs, terminator included, and
  // nothing to trust; a path that fits gives its length without it.
  const DWORD needed = static_cast<DWORD>(result.size() + 1);
  if (needed > size) {
    fillUntrustworthy(shortPath, size * sizeof(wchar_t));
    return needed;
  }
  std::wmemcpy(shortPath, result.c_str(), needed);
  std::wmemset(shortPath + needed, L'\0', size - needed);
  return needed - 1;
}

HWINSTA Machine::getProcessWindowStation() {
  if (windowStationError_ != 0) {
    fail(windowStationError_);
    return nullptr;
  }
  if (windowStation_ == nullptr) {
    windowStation_ = newHandle(HandleEntry{
        HandleKind::kWindowStation, "the process's window station", 0, 0, 0});
  }
  return static_cast<HWINSTA>(windowStation_);
}

BOOL Machine::getUserObjectInformation(HANDLE object, int index, PVOID info,
                                       DWORD length, LPDWORD lengthNeeded) {
  if (userObjectInformationError_ != 0) {
    return fail(userObjectInformationError_);
  }
  const HandleEntry* entry = liveHandle(object);
  if (entry == nullptr || entry->kind != HandleKind::kWindowStation) {
    return fail(kErrorInvalidHandle);
  }
  if (index != UOI_FLAGS) {  // the only information modelled
    return fail(kErrorInvalidParameter);
  }
  if (lengthNeeded != nullptr) {
    *lengthNeeded = sizeof(USEROBJECTFLAGS);
  }
  if (info == nullptr || length < sizeof(USEROBJECTFLAGS)) {
    return fail(kErrorInsufficientBuffer);
  }
  USEROBJECTFLAGS flags{};
  flags.dwFlags = windowStationFlags_;
  std::memcpy(info, &flags, sizeof flags);
  return kTrue;
}

int Machine::messageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  // The box loads the theme library by name, as user32 does on Windows.
  systemLoadByName("uxtheme.dll");
  messageBoxes.push_back(MessageBoxCall{owner, text != nullptr ? text : "",
                                        caption != nullptr ? caption : "",
                                        type});
  if (messageBoxError_ != 0) {
    fail(messageBoxError_);
    return 0;
  }
  return kIdOk;
}

// --- Libraries -------------------------------------------------------------

namespace {

// The libraries the system folder holds, and the exports the program may
// ask of them.
const std::map<std::string, std::set<std::string>>& systemLibraries() {
  static const std::map<std::string, std::set<std::string>> libraries = {
      {"kernel32.dll", {"SetDefaultDllDirectories"}},
      {"msi.dll", {"MsiEnumProductsA", "MsiGetProductInfoA"}},
  };
  return libraries;
}

BOOL WINAPI fakeSetDefaultDllDirectories(DWORD flags) {
  return machine().setDefaultDllDirectories(flags);
}

UINT WINAPI fakeMsiEnumProductsA(DWORD index, LPSTR productCode) {
  return machine().enumProducts(index, productCode);
}

UINT WINAPI fakeMsiGetProductInfoA(LPCSTR productCode, LPCSTR attribute,
                                   LPSTR value, DWORD* length) {
  return machine().getProductInfo(productCode, attribute, value, length);
}

// The stand-ins as GetProcAddress hands them out, checked against the
// declared types where the headers declare them.
FARPROC exportAddress(const std::string& name) {
  using AnyFunction = void (*)();
  static_assert(std::is_same_v<decltype(&fakeMsiEnumProductsA),
                               decltype(&MsiEnumProductsA)>);
  static_assert(std::is_same_v<decltype(&fakeMsiGetProductInfoA),
                               decltype(&MsiGetProductInfoA)>);
  AnyFunction function = nullptr;
  if (name == "SetDefaultDllDirectories") {
    function = reinterpret_cast<AnyFunction>(&fakeSetDefaultDllDirectories);
  } else if (name == "MsiEnumProductsA") {
    function = reinterpret_cast<AnyFunction>(&fakeMsiEnumProductsA);
  } else if (name == "MsiGetProductInfoA") {
    function = reinterpret_cast<AnyFunction>(&fakeMsiGetProductInfoA);
  }
  return reinterpret_cast<FARPROC>(function);
}

}  // namespace

HMODULE Machine::moduleHandle(const std::string& fileName, bool planted) {
  for (const auto& [handle, module] : modules_) {
    if (module.fileName == fileName && module.planted == planted) {
      return handle;
    }
  }
  HMODULE handle =
      reinterpret_cast<HMODULE>(0x10000000 + 0x10000 * (modules_.size() + 1));
  modules_[handle] = Module{fileName, planted};
  return handle;
}

void Machine::systemLoadByName(const std::string& fileName) {
  if (!searchRestrictedToSystem_ && plantedBesideProgram_.count(fileName)) {
    plantedLoaded_.push_back(fileName);
  }
}

HMODULE Machine::getModuleHandle(LPCSTR moduleName) {
  moduleLookups.push_back(moduleName != nullptr ? moduleName : "");
  if (moduleLookupError_ != 0) {
    fail(moduleLookupError_);
    return nullptr;
  }
  // Only kernel32 is loaded before the program asks for anything.
  if (moduleName == nullptr || pathKey(moduleName) != "kernel32.dll") {
    fail(kErrorModNotFound);
    return nullptr;
  }
  return moduleHandle("kernel32.dll", false);
}

FARPROC Machine::getProcAddress(HMODULE module, LPCSTR name) {
  auto found = modules_.find(module);
  exportLookups.push_back(
      ExportLookupCall{found != modules_.end() ? found->second.fileName : "?",
                       name != nullptr ? name : ""});
  if (found == modules_.end()) {
    fail(kErrorModNotFound);  // no module is loaded at that address
    return nullptr;
  }
  const Module& loaded = found->second;
  const auto library = systemLibraries().find(loaded.fileName);
  const bool exported = name != nullptr && !loaded.planted &&
                        library != systemLibraries().end() &&
                        library->second.count(name) != 0 &&
                        removedExports_.count(name) == 0 &&
                        (searchFlagsSupported_ ||
                         std::strcmp(name, "SetDefaultDllDirectories") != 0);
  if (!exported) {
    fail(kErrorProcNotFound);
    return nullptr;
  }
  return exportAddress(name);
}

BOOL Machine::setDefaultDllDirectories(DWORD flags) {
  calls.push_back("SetDefaultDllDirectories");
  defaultDllDirectoriesCalls.push_back(flags);
  if (setDefaultDllDirectoriesError_ != 0) {
    return fail(setDefaultDllDirectoriesError_);
  }
  // The four search places are the only flags it takes.
  constexpr DWORD kSearchPlaces =
      0x200 | 0x400 | LOAD_LIBRARY_SEARCH_SYSTEM32 | 0x1000;
  if (flags == 0 || (flags & ~kSearchPlaces) != 0) {
    return fail(kErrorInvalidParameter);
  }
  searchRestrictedToSystem_ = flags == LOAD_LIBRARY_SEARCH_SYSTEM32;
  return kTrue;
}

BOOL Machine::setDllDirectory(LPCSTR path) {
  dllDirectoryCalls.push_back(path != nullptr ? std::optional<std::string>(path)
                                              : std::nullopt);
  if (setDllDirectoryError_ != 0) {
    return fail(setDllDirectoryError_);
  }
  // Takes the current folder out of the search (or puts it back); the
  // program's own folder stays first, so nothing changes for a planted
  // library there.
  return kTrue;
}

HMODULE Machine::loadLibraryEx(LPCSTR fileName, HANDLE file, DWORD flags) {
  libraryLoads.push_back(LibraryLoadCall{fileName != nullptr ? fileName : "",
                                         file != nullptr, flags, nullptr});
  HMODULE* result = &libraryLoads.back().result;
  if (fileName == nullptr || file != nullptr) {
    fail(kErrorInvalidParameter);
    return nullptr;
  }
  const bool searchFlags = (flags & 0xFFFFFF00u) != 0;
  // The altered search cannot be combined with the search flags.
  if (searchFlags &&
      (!searchFlagsSupported_ || (flags & LOAD_WITH_ALTERED_SEARCH_PATH))) {
    fail(kErrorInvalidParameter);
    return nullptr;
  }
  const std::string path = fileName;
  const size_t slash = path.find_last_of('\\');
  const std::string name =
      pathKey(slash == std::string::npos ? path : path.substr(slash + 1));
  auto failure = libraryLoadFailures_.find(name);
  if (failure != libraryLoadFailures_.end()) {
    fail(failure->second);
    return nullptr;
  }
  const bool inSystemFolder = systemLibraries().count(name) != 0;

  if (slash != std::string::npos) {
    // A full path loads that file and no other; only the system folder's
    // libraries are known here.
    if (pathKey(parentOf(path)) == pathKey(systemFolder_) && inSystemFolder) {
      return *result = moduleHandle(name, false);
    }
    fail(kErrorModNotFound);
    return nullptr;
  }
  const bool systemOnly = (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0 ||
                          (!searchFlags && searchRestrictedToSystem_);
  if (!systemOnly && plantedBesideProgram_.count(name) != 0) {
    plantedLoaded_.push_back(name);
    return *result = moduleHandle(name, true);
  }
  if (inSystemFolder) {
    return *result = moduleHandle(name, false);
  }
  fail(kErrorModNotFound);
  return nullptr;
}

UINT Machine::getSystemDirectory(LPSTR buffer, UINT size) {
  if (systemDirectoryError_ != 0) {
    fail(systemDirectoryError_);
    return 0;
  }
  // Too small a buffer gets the size it needs, terminator included.
  if (buffer == nullptr || systemFolder_.size() >= size) {
    return static_cast<UINT>(systemFolder_.size() + 1);
  }
  fillBuffer(buffer, size, systemFolder_.c_str(), systemFolder_.size() + 1);
  return static_cast<UINT>(systemFolder_.size());
}

// --- Windows Installer -----------------------------------------------------
// These return their error instead of setting the thread's last error.

UINT Machine::enumProducts(DWORD index, LPSTR productCode) {
  calls.push_back("MsiEnumProductsA");
  enumProductsCalls.push_back(index);
  auto failure = enumProductsFailures_.find(index);
  if (failure != enumProductsFailures_.end()) {
    return failure->second;
  }
  // The enumeration keeps its place between calls: an index other than 0
  // or the one after the last success is refused.
  if (productCode == nullptr ||
      (index != 0 && index != lastProductIndex_ + 1)) {
    lastProductIndex_ = 0;
    return kErrorInvalidParameter;
  }
  if (index >= products_.size()) {
    lastProductIndex_ = 0;
    return kErrorNoMoreItems;
  }
  lastProductIndex_ = index;
  const std::string& code = products_[index].code;
  std::memcpy(productCode, code.c_str(), code.size() + 1);
  return ERROR_SUCCESS;
}

UINT Machine::getProductInfo(LPCSTR productCode, LPCSTR attribute, LPSTR value,
                             DWORD* length) {
  calls.push_back("MsiGetProductInfoA");
  productInfoCalls.push_back(ProductInfoCall{
      productCode != nullptr ? productCode : "",
      attribute != nullptr ? attribute : "", length != nullptr ? *length : 0});
  if (productCode == nullptr || attribute == nullptr ||
      (value != nullptr && length == nullptr)) {
    return kErrorInvalidParameter;
  }
  auto product = std::find_if(
      products_.begin(), products_.end(),
      [productCode](const Product& p) { return p.code == productCode; });
  if (product == products_.end()) {
    return kErrorUnknownProduct;
  }
  const std::string* text = nullptr;
  UINT error = 0;
  UINT errorOnceItFits = 0;
  if (std::strcmp(attribute, INSTALLPROPERTY_ASSIGNMENTTYPE) == 0) {
    text = &product->assignmentType;
    error = product->assignmentTypeError;
  } else if (std::strcmp(attribute, INSTALLPROPERTY_PRODUCTNAME) == 0) {
    text = &product->name;
    error = product->nameError;
    errorOnceItFits = product->nameErrorOnceItFits;
  } else {
    return kErrorUnknownProperty;
  }
  if (error != 0) {
    return error;
  }
  const DWORD needed = static_cast<DWORD>(text->size());
  if (value == nullptr) {
    if (length != nullptr) {
      *length = needed;
    }
    return ERROR_SUCCESS;
  }
  // A short buffer gets the length the whole value needs, without its
  // terminator. What the buffer then holds is not documented, so nothing
  // here may come to rely on it.
  if (needed >= *length) {
    fillUntrustworthy(value, *length);
    *length = needed;
    return ERROR_MORE_DATA;
  }
  if (errorOnceItFits != 0) {
    return errorOnceItFits;
  }
  fillBuffer(value, *length, text->c_str(), text->size() + 1);
  *length = needed;
  return ERROR_SUCCESS;
}

// --- The one machine -------------------------------------------------------

namespace {
std::unique_ptr<Machine>& instance() {
  static std::unique_ptr<Machine> machine = std::make_unique<Machine>();
  return machine;
}
}  // namespace

Machine& machine() { return *instance(); }

void resetMachine() { instance() = std::make_unique<Machine>(); }

}  // namespace fake

// --- The Win32 functions the stand-in headers declare ----------------------

extern const KNOWNFOLDERID FOLDERID_RoamingAppData = {
    0x3EB685DB,
    0x65F9,
    0x4CF6,
    {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};

extern "C" {

DWORD GetLastError(void) { return fake::machine().getLastError(); }

BOOL CloseHandle(HANDLE hObject) {
  fake::machine().calls.push_back("CloseHandle");
  return fake::machine().closeHandle(hObject);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
  fake::machine().calls.push_back("CreateFileA");
  return fake::machine().createFile(lpFileName, dwDesiredAccess, dwShareMode,
                                    lpSecurityAttributes, dwCreationDisposition,
                                    dwFlagsAndAttributes, hTemplateFile);
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes,
                    BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  fake::machine().calls.push_back("CreateProcessA");
  return fake::machine().createProcess(
      lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes,
      bInheritHandles, dwCreationFlags, lpEnvironment, lpCurrentDirectory,
      lpStartupInfo, lpProcessInformation);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  fake::machine().calls.push_back("WaitForSingleObject");
  return fake::machine().waitForSingleObject(hHandle, dwMilliseconds);
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  fake::machine().calls.push_back("GetExitCodeProcess");
  return fake::machine().getExitCodeProcess(hProcess, lpExitCode);
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle,
                   DWORD dwProcessId) {
  fake::machine().calls.push_back("OpenProcess");
  return fake::machine().openProcess(dwDesiredAccess, bInheritHandle,
                                     dwProcessId);
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  fake::machine().calls.push_back("TerminateProcess");
  return fake::machine().terminateProcess(hProcess, uExitCode);
}

UINT GetACP(void) {
  fake::machine().calls.push_back("GetACP");
  return fake::machine().getAcp();
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  fake::machine().calls.push_back("WideCharToMultiByte");
  return fake::machine().wideCharToMultiByte(
      CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr,
      cbMultiByte, lpDefaultChar, lpUsedDefaultChar);
}

DWORD GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath,
                        DWORD cchBuffer) {
  fake::machine().calls.push_back("GetShortPathNameW");
  return fake::machine().getShortPathName(lpszLongPath, lpszShortPath,
                                          cchBuffer);
}

HWINSTA GetProcessWindowStation(void) {
  fake::machine().calls.push_back("GetProcessWindowStation");
  return fake::machine().getProcessWindowStation();
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo,
                               DWORD nLength, LPDWORD lpnLengthNeeded) {
  fake::machine().calls.push_back("GetUserObjectInformationA");
  return fake::machine().getUserObjectInformation(hObj, nIndex, pvInfo, nLength,
                                                  lpnLengthNeeded);
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  fake::machine().calls.push_back("MessageBoxA");
  return fake::machine().messageBox(hWnd, lpText, lpCaption, uType);
}

void CoTaskMemFree(LPVOID pv) {
  fake::machine().calls.push_back("CoTaskMemFree");
  fake::machine().coTaskMemFree(pv);
}

BOOL K32EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
  fake::machine().calls.push_back("K32EnumProcesses");
  return fake::machine().enumProcesses(lpidProcess, cb, lpcbNeeded);
}

DWORD K32GetProcessImageFileNameA(HANDLE hProcess, LPSTR lpImageFileName,
                                  DWORD nSize) {
  fake::machine().calls.push_back("K32GetProcessImageFileNameA");
  return fake::machine().getProcessImageFileName(hProcess, lpImageFileName,
                                                 nSize);
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  fake::machine().calls.push_back("GetModuleHandleA");
  return fake::machine().getModuleHandle(lpModuleName);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  fake::machine().calls.push_back("GetProcAddress");
  return fake::machine().getProcAddress(hModule, lpProcName);
}

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  fake::machine().calls.push_back("LoadLibraryExA");
  return fake::machine().loadLibraryEx(lpLibFileName, hFile, dwFlags);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  fake::machine().calls.push_back("GetSystemDirectoryA");
  return fake::machine().getSystemDirectory(lpBuffer, uSize);
}

BOOL SetDllDirectoryA(LPCSTR lpPathName) {
  fake::machine().calls.push_back("SetDllDirectoryA");
  return fake::machine().setDllDirectory(lpPathName);
}

}  // extern "C"

HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags,
                             HANDLE hToken, PWSTR* ppszPath) {
  fake::machine().calls.push_back("SHGetKnownFolderPath");
  return fake::machine().getKnownFolderPath(rfid, dwFlags, hToken, ppszPath);
}

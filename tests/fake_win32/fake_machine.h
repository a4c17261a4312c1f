// An in-memory Windows machine behind the stand-in Win32 headers in
// include/. Each unit test scripts what the machine holds (the roaming
// folder, files, running processes, programs that can be started, installed
// Windows Installer products) and how each call fails, runs the program's
// code against it, and then reads back every call that was made, with its
// arguments, and what happened to every handle and every shell allocation.
//
// The calls behave as Windows documents them where the program relies on
// it: GetLastError is set by the call that failed, a library named without
// a path is looked for beside the program first unless the search was
// restricted to the system folder, K32EnumProcesses fills at
// most the buffer it is given, MsiGetProductInfoA answers a short buffer with
// ERROR_MORE_DATA and the length without its terminator, WideCharToMultiByte
// converts through a code page with best-fit mapping unless told not to.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fake {

// Windows' own codes for the failures the machine reports. Those the
// program itself names come from the stand-in header, which holds them
// once; the rest only the machine needs.
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorInvalidParameter = ERROR_INVALID_PARAMETER;
constexpr DWORD kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorPartialCopy = 299;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr UINT kErrorNoMoreItems = ERROR_NO_MORE_ITEMS;
constexpr UINT kErrorUnknownProduct = 1605;
constexpr UINT kErrorUnknownProperty = 1608;
constexpr UINT kErrorBadConfiguration = 1610;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitTimeout = 258;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;
constexpr int kIdOk = 1;
// What the machine writes into a buffer where Windows documents nothing of
// its content (after an answer that it was too small).
constexpr unsigned char kUntrustworthyByte = 0xA5;
constexpr BOOL kTrue = 1;
// HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND): what the shell answers when the
// roaming folder is redirected to a folder that does not exist.
constexpr HRESULT kPathNotFoundResult = static_cast<HRESULT>(0x80070003);
constexpr HRESULT kInvalidArgResult = static_cast<HRESULT>(0x80070057);

// ANSI code pages the machine can run under, converted through Windows' own
// tables (code_page_table.h).
constexpr UINT kCodePageWestern = 1252;
constexpr UINT kCodePageCyrillic = 1251;
constexpr UINT kCodePageUtf8 = 65001;

// Every right a process object has (PROCESS_ALL_ACCESS from Vista on).
constexpr DWORD kAllProcessRights = 0x001FFFFF;

// A running process, as the sweep sees it.
struct Process {
  DWORD pid = 0;
  // In the kernel's device form, e.g. \Device\HarddiskVolume3\...\x.exe.
  std::string imageName;
  // What the process's DACL grants the user. Endpoint agents and
  // anti-tamper code harden theirs to terminate, limited query and
  // synchronize. Asking for the full query right needs the limited one
  // granted too.
  DWORD grantedRights = kAllProcessRights;
  DWORD openError = 0;       // OpenProcess fails with it; 0 opens
  DWORD nameError = 0;       // K32GetProcessImageFileNameA fails with it
  DWORD terminateError = 0;  // TerminateProcess fails with it
  // What GetExitCodeProcess reads after an accepted termination: 0 once the
  // process is gone, STILL_ACTIVE while it is still going down.
  DWORD exitCodeAfterTerminate = 0;
  DWORD exitCodeReadError = 0;  // GetExitCodeProcess fails with it
  // It ended by itself with this code after it was listed and named, before
  // anyone terminated it.
  std::optional<DWORD> exitedWith;
};

// A program that CreateProcessA can start, by its path.
struct Program {
  DWORD startError = 0;  // CreateProcessA fails with it; 0 starts
  DWORD exitCode = 0;
  // A wait shorter than this finds the child still running.
  DWORD runsForMilliseconds = 1000;
  DWORD exitCodeReadError = 0;  // GetExitCodeProcess fails with it
};

// An installed Windows Installer product.
struct Product {
  std::string code;  // braced GUID, 38 characters
  std::string assignmentType = "0";
  std::string name;
  UINT assignmentTypeError = 0;  // MsiGetProductInfoA fails with it
  UINT nameError = 0;            // likewise, for "ProductName"
  // Fails only a "ProductName" query whose buffer holds the whole name: the
  // product went away between the query that found the name too long and
  // the one that reads it.
  UINT nameErrorOnceItFits = 0;
};

struct KnownFolderCall {
  bool roamingAppData = false;  // the id was FOLDERID_RoamingAppData's GUID
  DWORD flags = 0;
  HANDLE token = nullptr;
};

struct CreateFileCall {
  std::string path;
  DWORD desiredAccess = 0;
  DWORD shareMode = 0;
  DWORD creationDisposition = 0;
};

struct CreateProcessCall {
  std::optional<std::string> applicationName;
  std::optional<std::string> commandLine;
  bool processAttributesGiven = false;
  bool threadAttributesGiven = false;
  BOOL inheritHandles = FALSE;
  DWORD creationFlags = 0;
  bool environmentGiven = false;
  std::optional<std::string> currentDirectory;
  DWORD startupInfoSize = 0;
  // Every STARTUPINFOA field but cb was zero.
  bool startupInfoOtherwiseZero = false;
  // The PROCESS_INFORMATION was all zero when handed in.
  bool processInformationZeroed = false;
  HANDLE process = nullptr;  // handed out on success
};

struct WaitCall {
  HANDLE handle = nullptr;
  DWORD milliseconds = 0;
};

struct OpenProcessCall {
  DWORD desiredAccess = 0;
  BOOL inheritHandle = FALSE;
  DWORD pid = 0;
  HANDLE result = nullptr;
};

struct ImageNameCall {
  HANDLE handle = nullptr;
  DWORD size = 0;
};

struct TerminateCall {
  HANDLE handle = nullptr;
  UINT exitCode = 0;
};

struct MessageBoxCall {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT type = 0;
};

struct LibraryLoadCall {
  std::string fileName;
  bool fileHandleGiven = false;
  DWORD flags = 0;
  HMODULE result = nullptr;
};

struct ExportLookupCall {
  std::string module;  // the file name the module was loaded as
  std::string name;
};

struct ProductInfoCall {
  std::string productCode;
  std::string attribute;
  DWORD lengthPassed = 0;  // *pcchValueBuf on entry
};

class Machine {
 public:
  // An empty machine: roaming folder C:\Users\user1\AppData\Roaming, code
  // page 1252, no files, processes, programs or products, no failures, no
  // calls recorded.
  Machine() = default;
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // --- Scripting -----------------------------------------------------------

  void setRoamingFolder(const std::wstring& path) { roamingFolder_ = path; }
  // SHGetKnownFolderPath answers with this failure instead of the folder.
  void failRoamingFolderLookup(HRESULT result) {
    roamingFolderResult_ = result;
  }

  void setAnsiCodePage(UINT codePage) { ansiCodePage_ = codePage; }

  // The 8.3 form GetShortPathNameW gives for `longPath`. A path given none
  // comes back unchanged, as one whose every name is 8.3 already does.
  void setShortPath(const std::wstring& longPath,
                    const std::wstring& shortPath) {
    shortPaths_[longPath] = shortPath;
  }
  // A volume that keeps no short names (many data volumes, ReFS, network
  // shares): every path comes back unchanged.
  void withoutShortNames() { shortNamesKept_ = false; }
  void failShortPathLookup(DWORD error) { shortPathError_ = error; }

  // The process's window station is WinSta0, which the user sees, unless it
  // is one nobody sees (a service's, a task's that runs whether or not the
  // user is logged on).
  void hideWindowStation() { windowStationFlags_ = 0; }
  void failProcessWindowStation(DWORD error) { windowStationError_ = error; }
  void failUserObjectInformation(DWORD error) {
    userObjectInformationError_ = error;
  }
  // The callNumber-th WideCharToMultiByte call (from 1) fails with error.
  void failConversion(int callNumber, DWORD error);

  // Paths compare as Windows compares them: ASCII letters without case.
  void addFile(const std::string& path);
  void addUnreadableFile(const std::string& path,
                         DWORD error = kErrorAccessDenied);
  void addFolder(const std::string& path);

  void addProcess(const Process& process) { processes_.push_back(process); }
  // The callNumber-th K32EnumProcesses call (from 1) fails with error.
  void failProcessEnumeration(DWORD error, int callNumber = 1);
  // A broken K32EnumProcesses that claims a full buffer whatever its size,
  // as if there were always more processes.
  bool processListAlwaysFull = false;

  void addProgram(const std::string& path, const Program& program);
  // A readable file at `path` that starts as `program`.
  void addUninstaller(const std::string& path, const Program& program = {});

  void addProduct(const Product& product) { products_.push_back(product); }
  // MsiEnumProductsA fails with error at this index.
  void failProductEnumeration(DWORD index, UINT error);

  // Libraries. The system folder holds kernel32.dll and msi.dll.
  void setSystemFolder(const std::string& path) { systemFolder_ = path; }
  void failSystemDirectory(DWORD error) { systemDirectoryError_ = error; }
  void failModuleLookup(DWORD error) { moduleLookupError_ = error; }
  // A Windows 7 without the search-flags update: kernel32 has no
  // SetDefaultDllDirectories, and LoadLibraryExA refuses the
  // LOAD_LIBRARY_SEARCH_* flags with ERROR_INVALID_PARAMETER.
  void withoutLibrarySearchFlags() { searchFlagsSupported_ = false; }
  void failSetDefaultDllDirectories(DWORD error) {
    setDefaultDllDirectoriesError_ = error;
  }
  void failSetDllDirectory(DWORD error) { setDllDirectoryError_ = error; }
  // Every load of the library `fileName`, wherever it is looked for, fails
  // with error.
  void failLibraryLoad(const std::string& fileName, DWORD error);
  // msi.dll lacks this export.
  void removeExport(const std::string& name) { removedExports_.insert(name); }
  // A library of this name lies in the program's own folder (a Downloads
  // folder, say), which an unrestricted search by name looks in first:
  // the program's own loads by name and those of the system's libraries
  // (the message box loads uxtheme.dll).
  void plantLibraryBesideProgram(const std::string& fileName);

  void failMessageBox(DWORD error) { messageBoxError_ = error; }
  void failCloseHandle(DWORD error) { closeHandleError_ = error; }
  void setLastError(DWORD error) { lastError_ = error; }

  // --- What happened -------------------------------------------------------

  std::vector<KnownFolderCall> knownFolderCalls;
  std::vector<CreateFileCall> createFileCalls;
  std::vector<CreateProcessCall> createProcessCalls;
  std::vector<WaitCall> waitCalls;
  std::vector<HANDLE> exitCodeCalls;  // the handle of each GetExitCodeProcess
  std::vector<DWORD> enumProcessesCalls;  // the buffer size in bytes
  std::vector<OpenProcessCall> openProcessCalls;
  std::vector<ImageNameCall> imageNameCalls;
  std::vector<TerminateCall> terminateCalls;
  std::vector<MessageBoxCall> messageBoxes;
  std::vector<DWORD> enumProductsCalls;  // the index asked for
  std::vector<ProductInfoCall> productInfoCalls;
  std::vector<std::string> moduleLookups;  // GetModuleHandleA's names
  std::vector<ExportLookupCall> exportLookups;
  std::vector<DWORD> defaultDllDirectoriesCalls;  // the flags
  std::vector<std::optional<std::string>> dllDirectoryCalls;
  std::vector<LibraryLoadCall> libraryLoads;
  // Every Win32 call, by name, in the order the program made them.
  std::vector<std::string> calls;

  // The planted libraries that a load picked up instead of the system's.
  const std::vector<std::string>& plantedLibrariesLoaded() const {
    return plantedLoaded_;
  }

  // The pids of the processes that TerminateProcess ended, in order.
  const std::vector<DWORD>& terminatedPids() const { return terminatedPids_; }
  // The sizes passed to the "ProductName" queries, in order.
  std::vector<DWORD> productNameLengthsPassed() const;

  // Handles handed out and not closed, closed more than once, and closes of
  // handles the machine never handed out, one line each; empty when every
  // handle was closed exactly once.
  std::vector<std::string> handleFaults() const;
  // Shell allocations never released or released twice, and releases of
  // memory the shell never handed out; empty when all is well.
  std::vector<std::string> allocationFaults() const;
  // The known-folder texts handed out and released so far.
  int roamingFolderTextsHandedOut() const { return foldersHandedOut_; }
  int roamingFolderTextsReleased() const { return foldersReleased_; }

  // --- The Win32 calls, as the stand-in functions forward them -------------

  DWORD getLastError() const { return lastError_; }
  BOOL closeHandle(HANDLE handle);
  HANDLE createFile(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                    LPSECURITY_ATTRIBUTES securityAttributes,
                    DWORD creationDisposition, DWORD flagsAndAttributes,
                    HANDLE templateFile);
  BOOL createProcess(LPCSTR applicationName, LPSTR commandLine,
                     LPSECURITY_ATTRIBUTES processAttributes,
                     LPSECURITY_ATTRIBUTES threadAttributes,
                     BOOL inheritHandles, DWORD creationFlags,
                     LPVOID environment, LPCSTR currentDirectory,
                     LPSTARTUPINFOA startupInfo,
                     LPPROCESS_INFORMATION processInformation);
  DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds);
  BOOL getExitCodeProcess(HANDLE handle, LPDWORD exitCode);
  HANDLE openProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD pid);
  BOOL terminateProcess(HANDLE handle, UINT exitCode);
  UINT getAcp() const { return ansiCodePage_; }
  int wideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide,
                          int cchWideChar, LPSTR narrow, int cbMultiByte,
                          LPCCH defaultChar, LPBOOL usedDefaultChar);
  DWORD getShortPathName(LPCWSTR longPath, LPWSTR shortPath, DWORD size);
  int messageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
  HWINSTA getProcessWindowStation();
  BOOL getUserObjectInformation(HANDLE object, int index, PVOID info,
                                DWORD length, LPDWORD lengthNeeded);
  void coTaskMemFree(LPVOID memory);
  HRESULT getKnownFolderPath(const GUID& id, DWORD flags, HANDLE token,
                             PWSTR* path);
  BOOL enumProcesses(DWORD* ids, DWORD bufferBytes, LPDWORD bytesReturned);
  DWORD getProcessImageFileName(HANDLE handle, LPSTR buffer, DWORD size);
  HMODULE getModuleHandle(LPCSTR moduleName);
  FARPROC getProcAddress(HMODULE module, LPCSTR name);
  BOOL setDefaultDllDirectories(DWORD flags);
  BOOL setDllDirectory(LPCSTR path);
  HMODULE loadLibraryEx(LPCSTR fileName, HANDLE file, DWORD flags);
  UINT getSystemDirectory(LPSTR buffer, UINT size);
  UINT enumProducts(DWORD index, LPSTR productCode);
  UINT getProductInfo(LPCSTR productCode, LPCSTR attribute, LPSTR value,
                      DWORD* length);

 private:
  enum class FileKind { kReadable, kUnreadable, kFolder };
  struct File {
    FileKind kind = FileKind::kReadable;
    DWORD error = 0;
  };
  enum class HandleKind {
    kFile,
    kProcess,
    kChildProcess,
    kChildThread,
    // Handed out, never to be closed: the process's own window station.
    kWindowStation,
  };
  struct HandleEntry {
    HandleKind kind = HandleKind::kFile;
    std::string what;  // for fault messages
    DWORD access = 0;  // rights an opened process handle carries
    size_t index = 0;  // into processes_ or children_
    int closes = 0;
  };
  struct Child {
    Program program;
    DWORD waitedMilliseconds = 0;
  };

  struct Module {
    std::string fileName;  // lower case
    bool planted = false;
  };

  HANDLE newHandle(const HandleEntry& entry);
  HMODULE moduleHandle(const std::string& fileName, bool planted);
  // A system library's own load of another by name, such as user32's of
  // the theme library for a message box.
  void systemLoadByName(const std::string& fileName);
  HandleEntry* liveHandle(HANDLE handle);
  const File* findFile(const std::string& path) const;
  bool folderExists(const std::string& path) const;
  DWORD missingPathError(const std::string& path) const;
  BOOL fail(DWORD error) {
    lastError_ = error;
    return FALSE;
  }

  DWORD lastError_ = 0;
  HRESULT roamingFolderResult_ = S_OK;
  std::wstring roamingFolder_ = L"C:\\Users\\user1\\AppData\\Roaming";
  UINT ansiCodePage_ = kCodePageWestern;
  std::map<int, DWORD> conversionFailures_;
  std::map<std::wstring, std::wstring> shortPaths_;
  bool shortNamesKept_ = true;
  DWORD shortPathError_ = 0;
  DWORD windowStationFlags_ = WSF_VISIBLE;
  DWORD windowStationError_ = 0;
  DWORD userObjectInformationError_ = 0;
  HANDLE windowStation_ = nullptr;
  int conversionCallCount_ = 0;
  std::map<std::string, File> files_;  // by lower-cased path
  std::vector<Process> processes_;
  std::set<size_t> terminated_;  // indexes into processes_
  std::vector<DWORD> terminatedPids_;
  std::map<int, DWORD> enumProcessesFailures_;
  std::map<std::string, Program> programs_;  // by lower-cased path
  std::vector<Child> children_;
  std::vector<Product> products_;
  std::map<DWORD, UINT> enumProductsFailures_;
  DWORD lastProductIndex_ = 0;
  std::string systemFolder_ = "C:\\Windows\\system32";
  DWORD systemDirectoryError_ = 0;
  DWORD moduleLookupError_ = 0;
  bool searchFlagsSupported_ = true;
  DWORD setDefaultDllDirectoriesError_ = 0;
  DWORD setDllDirectoryError_ = 0;
  // Set once SetDefaultDllDirectories succeeded with the system folder
  // alone: from then on a name without a path is looked up only there.
  bool searchRestrictedToSystem_ = false;
  std::map<std::string, DWORD> libraryLoadFailures_;  // by lower-case name
  std::set<std::string> removedExports_;
  std::set<std::string> plantedBesideProgram_;  // lower-case names
  std::vector<std::string> plantedLoaded_;
  std::map<HMODULE, Module> modules_;
  DWORD messageBoxError_ = 0;
  DWORD closeHandleError_ = 0;

  uintptr_t nextHandleValue_ = 0x1000;
  std::map<HANDLE, HandleEntry> handles_;
  std::vector<HANDLE> unknownCloses_;

  // Known-folder texts: live ones by address, and those already released
  // (kept apart so a second release of the same address is caught even
  // after the memory went back to the allocator).
  std::set<void*> liveFolderTexts_;
  std::set<uintptr_t> releasedFolderTexts_;
  std::vector<std::string> allocationFaults_;
  int foldersHandedOut_ = 0;
  int foldersReleased_ = 0;
};

// The one machine the stand-in functions run on.
Machine& machine();
// Replaces it with a fresh, empty one, releasing whatever the last one still
// held.
void resetMachine();

}  // namespace fake

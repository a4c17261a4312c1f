// Stand-in for the Windows SDK header, for the native unit tests only.
//
// It declares the types, constants and functions the program's sources use,
// with Windows' own sizes and values, and nothing else: a source that starts
// to use another part of the Win32 API fails to compile here until the fake
// machine (tests/fake_win32/fake_machine.h) learns it too. The functions are
// defined by the fake machine.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Windows is LLP64: a long is 32 bits there and 64 bits here, so the sized
// types are spelled with fixed-width integers.
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int32_t HRESULT;
typedef int BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef intptr_t LONG_PTR;
typedef char CHAR;
typedef wchar_t WCHAR;

typedef void* HANDLE;
typedef void* LPVOID;
typedef BYTE* LPBYTE;
typedef BOOL* LPBOOL;
typedef DWORD* LPDWORD;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* LPCCH;
typedef void* PVOID;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HMODULE;
typedef struct HWINSTA__* HWINSTA;
// Windows' calling convention; one and the same here.
#define WINAPI
// Any exported function, as GetProcAddress hands it out.
typedef intptr_t (*FARPROC)(void);
// Only ever passed as null by the program.
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define FALSE 0

#define MAX_PATH 260

#define S_OK ((HRESULT)0)

#define ERROR_SUCCESS ((LONG)0)
#define ERROR_INVALID_PARAMETER ((LONG)87)
#define ERROR_INSUFFICIENT_BUFFER ((LONG)122)
#define ERROR_MORE_DATA ((LONG)234)
#define ERROR_NO_MORE_ITEMS ((LONG)259)

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define STILL_ACTIVE ((DWORD)0x00000103)

#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define SYNCHRONIZE 0x00100000

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define CP_ACP 0
#define CP_UTF8 65001
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

#define MB_OK 0x00000000u

#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001

#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800

typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct tagUSEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
} USEROBJECTFLAGS, *PUSEROBJECTFLAGS;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

DWORD GetLastError(void);
BOOL CloseHandle(HANDLE hObject);

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes,
                    BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle,
                   DWORD dwProcessId);
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

UINT GetACP(void);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);

DWORD GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath,
                        DWORD cchBuffer);

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
// The station a process runs on belongs to it; there is no call here to
// close one, and the fake machine reports a CloseHandle of it.
HWINSTA GetProcessWindowStation(void);
BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo,
                               DWORD nLength, LPDWORD lpnLengthNeeded);

// SetDefaultDllDirectories is left out on purpose: the program must look it
// up, because a Windows 7 without the search-flags update lacks it.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
BOOL SetDllDirectoryA(LPCSTR lpPathName);

#ifdef __cplusplus
}
#endif

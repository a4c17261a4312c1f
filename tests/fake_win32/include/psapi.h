// Stand-in for the Windows SDK header, for the native unit tests only: the
// process-status functions, under the K32 names kernel32 exports them by.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

BOOL K32EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded);
DWORD K32GetProcessImageFileNameA(HANDLE hProcess, LPSTR lpImageFileName,
                                  DWORD nSize);

#ifdef __cplusplus
}
#endif

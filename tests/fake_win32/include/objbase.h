// Stand-in for the Windows SDK header, for the native unit tests only: the
// COM task allocator's release function, which the shell's path text needs.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

void CoTaskMemFree(LPVOID pv);

#ifdef __cplusplus
}
#endif

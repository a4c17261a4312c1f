// Stand-in for the Windows SDK header, for the native unit tests only: the
// known-folder lookup and the one folder id the program asks for.
#pragma once

#include <windows.h>

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID KNOWNFOLDERID;
#define REFKNOWNFOLDERID const KNOWNFOLDERID&

// {3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}, defined by the fake machine.
extern const KNOWNFOLDERID FOLDERID_RoamingAppData;

extern "C" HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags,
                                        HANDLE hToken, PWSTR* ppszPath);

// Stand-in for the Windows SDK header, for the native unit tests only: the
// Windows Installer product enumeration and product information query.
//
// Declared for their types only: nothing defines these names, so a static
// call to either fails to link. The fake machine hands the functions out
// through GetProcAddress on the msi.dll it loads from its system folder.
#pragma once

#include <windows.h>

#define INSTALLPROPERTY_PRODUCTNAME "ProductName"
#define INSTALLPROPERTY_ASSIGNMENTTYPE "AssignmentType"

#ifdef __cplusplus
extern "C" {
#endif

UINT WINAPI MsiEnumProductsA(DWORD iProductIndex, LPSTR lpProductBuf);
UINT WINAPI MsiGetProductInfoA(LPCSTR szProduct, LPCSTR szAttribute,
                               LPSTR lpValueBuf, DWORD* pcchValueBuf);

#ifdef __cplusplus
}
#endif

// Stand-in for the Windows SDK header, for the native unit tests only: the
// Windows Installer product enumeration and product information query.
#pragma once

#include <windows.h>

#define INSTALLPROPERTY_PRODUCTNAME "ProductName"
#define INSTALLPROPERTY_ASSIGNMENTTYPE "AssignmentType"

#ifdef __cplusplus
extern "C" {
#endif

UINT MsiEnumProductsA(DWORD iProductIndex, LPSTR lpProductBuf);
UINT MsiGetProductInfoA(LPCSTR szProduct, LPCSTR szAttribute, LPSTR lpValueBuf,
                        DWORD* pcchValueBuf);

#ifdef __cplusplus
}
#endif

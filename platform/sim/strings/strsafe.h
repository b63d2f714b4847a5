// The simulated Windows: string functions of kernel32 (lstr*, ExpandEnvironmentStringsW), shlwapi
// (Str*) and strsafe (StringCch*), with Windows' semantics.
#pragma once

#include "platform/sim/kernel/windef.h"
#include "platform/sim/kernel/winerror.h"

#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_MAX_CCH 2147483647

extern "C" {
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
PCWSTR WINAPI StrStrW(PCWSTR pszFirst, PCWSTR pszSrch);
PCWSTR WINAPI StrRChrW(PCWSTR pszStart, PCWSTR pszEnd, WCHAR wMatch);
int WINAPI StrCmpIW(PCWSTR psz1, PCWSTR psz2);
int WINAPI StrCmpNIW(PCWSTR psz1, PCWSTR psz2, int nChar);
int WINAPI StrToIntW(PCWSTR pszSrc);
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);
HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength);
}

// The simulated Windows: loading libraries and resolving their exports (kernel32;
// libloaderapi.h).
#pragma once

#include "platform/sim/kernel/winbase.h"

#define ERROR_PROC_NOT_FOUND 127L

#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000

typedef LONG_PTR INT_PTR;
typedef INT_PTR(WINAPI* FARPROC)();

// An ordinal in place of a name: a value whose high bits are zero.
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))

extern "C" {
// Only the search flags above are modelled (and no file handle); a name without a path is found
// in the application's directory, the system directory, the Windows directory and the current
// directory, in that order, unless the flags narrow the search. Without flags, a process that
// has set its default directories searches those instead.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
// The directories a load without search flags looks in, for the rest of the process: a
// combination of the search flags above (0 or any other bit: ERROR_INVALID_PARAMETER). The
// statically imported libraries of a program are resolved before its first instruction runs and
// so never follow it.
BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags);
// lpProcName is an export's name, or an ordinal made with MAKEINTRESOURCEA.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
}

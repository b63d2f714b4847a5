// TEMPORARY placeholder until the registry lands; replaced wholesale.
#include "platform/sim/internal.h"
namespace sim {
void ResetRegistryLocked() {}
void RegistryLeaksLocked(LeakReport&) {}
}
extern "C" LSTATUS WINAPI SHDeleteKeyW(HKEY, LPCWSTR) { return ERROR_FILE_NOT_FOUND; }
extern "C" LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }
extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD) { return ERROR_ACCESS_DENIED; }
extern "C" LSTATUS WINAPI RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

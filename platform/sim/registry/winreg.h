// The simulated Windows: the registry (advapi32; winreg.h, SHDeleteKeyW of shlwapi, and NtDeleteKey
// of ntdll, which is reached through GetProcAddress only).
#pragma once

#include "platform/sim/kernel/winbase.h"

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L

// Symbolic links, as Windows documents them: RegCreateKeyExW with REG_OPTION_CREATE_LINK makes
// a link key, and its REG_LINK value "SymbolicLinkValue", written through that handle or one
// opened with REG_OPTION_OPEN_LINK, names the target by the registry's own path
// ("\REGISTRY\MACHINE\...", "\REGISTRY\USER\..."), stored without a terminator. Every open
// follows a link, in each name of the path and in the last one unless REG_OPTION_OPEN_LINK is
// given (RegOpenKeyExW's ulOptions, RegCreateKeyExW's dwOptions); creating a link over an
// existing key fails with ERROR_ALREADY_EXISTS. A handle of the link itself shows its value and no
// subkeys, and ntdll's NtDeleteKey through it deletes the link, never the target. A link into a
// hive of another trust class is not followed (ERROR_ACCESS_DENIED): a user's hive, the
// machine's hives, another user's hive and a hive RegLoadKeyW mounted are each a class of their
// own. RegDeleteKeyW answers ERROR_FILE_NOT_FOUND for a link in the last name, as the registry's
// delete methods do, and deletes nothing; SHDeleteKeyW, which opens each subkey to delete it,
// follows a link in the tree into its target, deletes the target's subkeys and then stops with
// that answer.
// Assumed where Windows documents nothing (Wine 8.0 behaves so too, unless the conformance tests
// name a gap):
// - creating a link needs KEY_CREATE_SUB_KEY and KEY_CREATE_LINK in the parent's ACL (a user has
//   both in his own hive), not in samDesired;
// - a link holds no value but its target (other writes: ERROR_ACCESS_DENIED) and no subkeys; a
//   path relative to a handle of the link itself starts at the target; creating through a link
//   whose target is missing creates the target;
// - a target that is no such path (with its terminator stored, "HKEY_..." or relative names), one
//   in a hive that is not loaded, and a chain of more than 16 links open as missing
//   (ERROR_FILE_NOT_FOUND); a link to the root of a namespace is checked against the machine's
//   class;
// - the machine's hives, HKU\.DEFAULT and the roots are one trust class;
// - NtDeleteKey answers STATUS_CANNOT_DELETE for a key with subkeys or a hive's root,
//   STATUS_KEY_DELETED for a key already deleted; an injected failure is NTSTATUS_FROM_WIN32 of
//   its error;
// - SHDeleteKeyW refuses at once (ERROR_ACCESS_DENIED, nothing deleted) a tree that holds a hive's
//   root; its walk ends with ERROR_CANTOPEN deeper than 512 keys (a link back into the tree);
// - a hive file keeps a link as a link.
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NOTIFY_CHANGE_NAME 0x00000001L
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002L
#define REG_NOTIFY_CHANGE_LAST_SET 0x00000004L
#define REG_NOTIFY_CHANGE_SECURITY 0x00000008L
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L

#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000ffff
#define RRF_NOEXPAND 0x10000000
#define RRF_ZEROONFAILURE 0x20000000

extern "C" {
LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                            LPDWORD pdwType, PVOID pvData, LPDWORD pcbData);
LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData);
LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime);
LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                       HANDLE hEvent, BOOL fAsynchronous);
LSTATUS WINAPI RegSaveKeyW(HKEY hKey, LPCWSTR lpFile,
                           const LPSECURITY_ATTRIBUTES lpSecurityAttributes);
LSTATUS WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile);
LSTATUS WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS WINAPI SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey);
}

// The simulated Windows: user profiles and environment blocks (userenv.h).
#pragma once

#include "platform/sim/kernel/winbase.h"

#define PI_NOUI 0x00000001
#define PI_APPLYPOLICY 0x00000002

typedef struct _PROFILEINFOW {
  DWORD dwSize;
  DWORD dwFlags;
  LPWSTR lpUserName;
  LPWSTR lpProfilePath;
  LPWSTR lpDefaultPath;
  LPWSTR lpServerName;
  LPWSTR lpPolicyPath;
  HANDLE hProfile;
} PROFILEINFOW, *LPPROFILEINFOW;

extern "C" {
// On success hProfile is a key open with KEY_ALL_ACCESS on the root of the user's hive; pass it
// to UnloadUserProfile rather than closing it. The profile is the token user's; lpUserName must
// still name someone (null or empty: ERROR_INVALID_PARAMETER).
BOOL WINAPI LoadUserProfileW(HANDLE hToken, LPPROFILEINFOW lpProfileInfo);
BOOL WINAPI UnloadUserProfile(HANDLE hToken, HANDLE hProfile);
// The block is allocated by the call; free it with DestroyEnvironmentBlock.
BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit);
BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment);
}

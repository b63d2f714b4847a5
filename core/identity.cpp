#include "core/identity.h"

#include <vector>

#include "common/failure_boundary.h"

namespace dpal::core {

bool ReadTokenUser(HANDLE token, std::vector<BYTE>* user) {
  DWORD needed = 0;
  if (GetTokenInformation(token, TokenUser, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
    return false;
  }
  user->assign(needed, 0);
  return GetTokenInformation(token, TokenUser, user->data(), needed, &needed) != FALSE;
}

bool IsLocalSystemCaller(bool* is_system) {
  // A buffer that cannot be had means the check could not be made.
  return ContainFailure(false, [&] {
    std::vector<BYTE> system_sid(SECURITY_MAX_SID_SIZE, 0);
    DWORD sid_size = static_cast<DWORD>(system_sid.size());
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid.data(), &sid_size)) {
      return false;
    }
    UniqueToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
    std::vector<BYTE> user;
    if (!ReadTokenUser(token.get(), &user)) return false;
    *is_system =
        EqualSid(system_sid.data(), reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid) != FALSE;
    return true;
  });
}

static_assert(sizeof(PROFILEINFOW) == 56, "PROFILEINFOW on x64");

bool LoadConsoleUserHive(UniqueToken* token, LoadedProfile* profile, PROFILEINFOW* profile_info) {
  if (!QueryConsoleUserToken(*token)) return false;
  *profile_info = {};
  profile_info->dwSize = sizeof(PROFILEINFOW);
  UniqueWtsMemory<WCHAR> user_name;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName,
                                   user_name.Put(), &bytes)) {
    return false;
  }
  profile_info->lpUserName = user_name.get();
  const bool loaded = profile->Load(token->get(), *profile_info);
  // The name was only for the load; the caller keeps nothing that points into it.
  profile_info->lpUserName = nullptr;
  return loaded && profile_info->hProfile != nullptr;
}

}  // namespace dpal::core

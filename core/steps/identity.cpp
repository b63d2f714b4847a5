#include "core/steps/identity.h"

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

bool ReadConsoleUserSid(std::wstring* sid) {
  UniqueToken token;
  std::vector<BYTE> user;
  if (!QueryConsoleUserToken(token) || !ReadTokenUser(token.get(), &user)) return false;
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
    return false;
  }
  const UniqueLocalMemory text_owner(text);
  sid->assign(text);
  return true;
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

UserRootSource OpenUserRoot(ConsoleUserHive& hive, HKEY* root) {
  *root = HKEY_CURRENT_USER;
  bool is_system = false;
  if (!IsLocalSystemCaller(&is_system)) return UserRootSource::UnknownCaller;
  if (!is_system) return UserRootSource::Own;
  if (!hive.Load()) return UserRootSource::NoConsoleUser;
  *root = hive.root();
  return UserRootSource::ConsoleUser;
}

}  // namespace dpal::core

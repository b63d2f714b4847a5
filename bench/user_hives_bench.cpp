// Measures the per-user cleanup (figures for the README; nothing is asserted): CleanUserHives on
// a machine whose users are all logged off, so that every user's hive file is mounted, cleaned
// and unloaded in turn. Prints the whole run, the time per user and, in the sim, the platform
// calls per user, for each number of users.
//
//   dpal-bench-hives [USERS...]           (sim; default 10 100 1000)
//   user_hives_bench.exe [USERS...]       (windows, under Wine; default 10 100)
//
// Under Wine the hive files are made with RegSaveKeyW in the temporary directory and the users'
// profile-list entries (S-1-5-21-0-0-7-<n>) are added for the run and removed afterwards; the
// prefix's own user, logged on, is cleaned in place as well.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

#if !defined(_WIN32)
#include "platform/sim/sim.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace layout = dpal::layout;

std::wstring UserSid(int n) { return L"S-1-5-21-0-0-7-" + std::to_wstring(1000 + n); }
bool PutTree(HKEY root, const std::wstring& base) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, (base + L"\\" + layout::kUserApplyStateKey).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD one = 1;
  RegSetValueExW(key, L"State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
  RegCloseKey(key);
  return true;
}

#if defined(_WIN32)

std::wstring Entry(const std::wstring& sid) {
  return std::wstring(layout::kProfileListKey) + L"\\" + sid;
}

bool PutProfilePath(const std::wstring& sid, const std::wstring& directory) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Entry(sid).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegSetValueExW(key, layout::kProfileImagePathValue, 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(directory.c_str()),
                 static_cast<DWORD>((directory.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  return true;
}

bool SetPrivilege(const wchar_t* name, bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, enable ? DWORD{SE_PRIVILEGE_ENABLED} : 0}}};
  const bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                  AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
  return ok;
}

std::wstring Directory(int n) {
  WCHAR temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"dpal-bench-hives." + std::to_wstring(n);
}

// N users with a hive file holding the package's tree; false when the machine cannot be set up.
bool Prepare(int users) {
  const std::wstring source = L"Software\\DPALBench\\Hive";
  if (!PutTree(HKEY_CURRENT_USER, source)) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, source.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  SetPrivilege(SE_BACKUP_NAME, true);
  bool ok = true;
  for (int n = 0; n < users && ok; ++n) {
    const std::wstring directory = Directory(n);
    CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring file = directory + L"\\ntuser.dat";
    DeleteFileW(file.c_str());
    ok = RegSaveKeyW(key, file.c_str(), nullptr) == ERROR_SUCCESS &&
         PutProfilePath(UserSid(n), directory);
  }
  SetPrivilege(SE_BACKUP_NAME, false);
  RegCloseKey(key);
  SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\DPALBench");
  return ok;
}

void Tidy(int users) {
  for (int n = 0; n < users; ++n) {
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, Entry(UserSid(n)).c_str());
    DeleteFileW((Directory(n) + L"\\ntuser.dat").c_str());
    RemoveDirectoryW(Directory(n).c_str());
  }
}

#else

bool Prepare(int users) {
  sim::Reset();
  for (int n = 0; n < users; ++n) {
    const std::wstring sid = UserSid(n);
    const std::wstring name = L"user" + std::to_wstring(n);
    sim::CreateUserProfile(sid, name);
    sim::LogOn(5, sid, name);
    if (!PutTree(HKEY_USERS, sid)) return false;
    sim::LogOff(5);
  }
  sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
  return true;
}

void Tidy(int) {}

#endif

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
#if defined(_WIN32)
  if (counts.empty()) counts = {10, 100};
#else
  if (counts.empty()) counts = {10, 100, 1000};
#endif
  std::printf("CleanUserHives, every user logged off (hive file mounted, cleaned, unloaded)\n");
  std::printf("%8s %12s %14s %16s\n", "users", "run (ms)", "per user (us)", "calls per user");
  for (int users : counts) {
    if (users <= 0 || !Prepare(users)) {
      std::printf("%8d  could not set up the machine\n", users);
      Tidy(users);
      return 1;
    }
#if !defined(_WIN32)
    sim::ClearTrace();
#endif
    const auto start = Clock::now();
    const bool cleaned = dpal::uninstaller::CleanUserHives();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
#if defined(_WIN32)
    const std::string calls = "-";  // Wine counts no calls
#else
    const std::string calls =
        std::to_string(static_cast<double>(sim::CallCount()) / users).substr(0, 4);
#endif
    std::printf("%8d %12.2f %14.1f %16s%s\n", users, ms, ms * 1000 / users, calls.c_str(),
                cleaned ? "" : "  (not every user was cleaned)");
    Tidy(users);
  }
  return 0;
}

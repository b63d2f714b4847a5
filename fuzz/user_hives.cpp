// Fuzz target: the uninstaller's per-user cleanup (CleanUserHives) over a machine's profile list
// with arbitrary entries and "ProfileImagePath" values, run as LocalSystem.
//
// Input: byte  the number of profile-list entries (modulo 6); for each entry i:
//          byte   flags: bit 0 the entry is the user S-1-5-21-1000-1000-1000-100<i> (else the
//                 name is a text of the input), bit 1 that user has a real profile, its hive
//                 file holding the package's tree and a key of its own, bit 2 the user is logged
//                 on (hive loaded), bit 3 "ProfileImagePath" is replaced by the input's bytes
//          text   the entry's name (bit 0 clear)
//          byte   (bit 3) the value's type (modulo 12), word its size (modulo 1024), its bytes
//                 (a text's units are WCHARs as the platform has them: four bytes in the sim)
//
// Checks: every user with a real profile and its own "ProfileImagePath", logged on or not, loses
// the package's tree and keeps its own key; a logged-off user whose path value is no string is
// not cleaned and the run says so; nothing stays mounted at the temporary name; nothing leaks.
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "fuzz/fuzz_input.h"
#include "harness/registry_writer.h"
#include "uninstaller/routines.h"

namespace {

namespace layout = dpal::layout;
using dpal::fuzz::Check;

constexpr DWORD kSpareSession = 7;  // where users log on to fill or look into their hive file

struct User {
  std::wstring sid;
  bool profile = false;
  bool logged_on = false;
  bool path_replaced = false;
  DWORD path_type = REG_EXPAND_SZ;
};

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Whether the user's hive holds the key, loading the file through a logon to look when the
// user is logged off.
bool HiveHas(const User& user, const std::wstring& key) {
  if (!user.logged_on) sim::LogOn(kSpareSession, user.sid, L"look");
  const bool found = KeyExists(user.sid + L"\\" + key);
  if (!user.logged_on) sim::LogOff(kSpareSession);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dpal::fuzz::Machine machine;
  sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
  dpal::fuzz::Input input(data, size);
  std::vector<User> users;
  const size_t count = input.Byte() % 6;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t flags = input.Byte();
    User user;
    user.sid = (flags & 1) ? L"S-1-5-21-1000-1000-1000-100" + std::to_wstring(i) : input.Text();
    const std::wstring entry = std::wstring(layout::kProfileListKey) + L"\\" + user.sid;
    if ((flags & 3) == 3) {
      const std::wstring name = L"user" + std::to_wstring(i);
      sim::CreateUserProfile(user.sid, name);
      sim::LogOn(kSpareSession, user.sid, name);
      dpal::test::WriterFor(HKEY_USERS, user.sid + L"\\Software\\Other").Dword(L"Keep", 1);
      dpal::test::WriterFor(HKEY_USERS, user.sid + L"\\" + layout::kUserApplyStateKey)
          .Dword(layout::kStateValue, 1);
      sim::LogOff(kSpareSession);
      user.profile = true;
      if (flags & 4) {
        sim::LogOn(static_cast<DWORD>(10 + i), user.sid, name);
        user.logged_on = true;
      }
    } else {
      dpal::test::WriterFor(HKEY_LOCAL_MACHINE, entry);
    }
    if (flags & 8) {
      user.path_replaced = true;
      user.path_type = input.Byte() % 12;
      std::vector<uint8_t> bytes = input.Bytes(input.Word() % 1024);
      const size_t stored = bytes.size();
      // The writer looks at the unit after a string's counted ones, as Windows does: the data
      // is followed by units that are not NUL.
      bytes.insert(bytes.end(), 2 * sizeof(WCHAR), 0xFF);
      dpal::test::WriterFor(HKEY_LOCAL_MACHINE, entry)
          .Raw(layout::kProfileImagePathValue, user.path_type, bytes.data(), stored);
    }
    users.push_back(user);
  }

  const bool all_cleaned = dpal::uninstaller::CleanUserHives();

  Check(!sim::IsHiveLoaded(HKEY_USERS, layout::kTemporaryHiveName),
        "nothing stays mounted at the temporary name");
  for (const User& user : users) {
    if (!user.profile) continue;
    // A logon finds a logged-off user's hive file through the path value: only an intact one
    // lets the check look.
    if (!user.path_replaced || user.logged_on) {
      Check(!HiveHas(user, layout::kUserTreeKey), "a user with a profile loses the tree");
      Check(HiveHas(user, L"Software\\Other"), "the user's own keys stay");
    }
    if (!user.logged_on && user.path_replaced && user.path_type != REG_SZ &&
        user.path_type != REG_EXPAND_SZ) {
      Check(!all_cleaned, "a user whose hive cannot be found is reported");
    }
  }
  dpal::fuzz::CheckNoLeaks();
  return 0;
}

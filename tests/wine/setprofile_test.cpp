// The real SetDPALProfile.exe under Wine, started with command lines as its callers start it:
// the exit code of each, and that it writes nothing to the registry and nothing to its standard
// output or error. Wine has no internal panel (the virtual-mode-aware display query fails), so
// every mode that needs the panel fails before the colour system, whose setting function would
// end the process under Wine.
#include <string>

#include "common/registry_layout.h"
#include "harness/installed_package.h"
#include "tests/support/platform_test.h"

namespace {

namespace layout = dpal::layout;
using dpal::test::KeyExists;
using dpal::test::MachineKeysTest;

constexpr DWORD kDeadline = 30000;  // ms
const std::wstring kNew = L"QXLCD_Panel_V4_S.icm";
const std::wstring kBase = L"QXLCD_Panel_V3_S.icm";

std::wstring ToolImage() {
  std::wstring path = L"" DPAL_TOOL_IMAGE;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// Subkeys and values of a key, counted down the whole tree; -1 when the key cannot be opened.
long CountEntries(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  DWORD subkeys = 0;
  DWORD values = 0;
  long count = -1;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    count = static_cast<long>(subkeys + values);
    for (DWORD i = 0; i < subkeys; ++i) {
      WCHAR name[256];
      DWORD length = 256;
      if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        count = -1;
        break;
      }
      const long below = CountEntries(key, name);
      if (below < 0) {
        count = -1;
        break;
      }
      count += below;
    }
  }
  RegCloseKey(key);
  return count;
}

class RealTool : public MachineKeysTest {
 protected:
  void SetUp() override {
    MachineKeysTest::SetUp();
    SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
  }
  void TearDown() override {
    SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
    MachineKeysTest::TearDown();
  }

  // Runs the tool with the arguments after its quoted path, its standard output and error on a
  // pipe; the exit code (0xdeadbeef when it could not be run, 0xdead when it did not end in
  // time). What it wrote goes to `output`.
  static DWORD Run(const std::wstring& arguments, std::string* output) {
    const dpal::e2e::Ended ended = dpal::e2e::RunCapturingOutput(
        ToolImage(), L" " + arguments, dpal::e2e::milliseconds(kDeadline));
    *output = ended.output;
    return ended.exit_code;
  }
};

TEST_F(RealTool, ArgumentErrorsAndEveryModeWithoutAPanelExitWithOne) {
  const std::wstring too_long(260, L'n');
  const std::wstring lines[] = {
      L"", L"/AllSet 1 " + kNew, L"/userset 1", L"/baseverify 1 " + kNew,
      L"/systemset 1 " + too_long, L"/allset x " + kNew,
      // Well formed, but Wine shows no internal panel.
      L"/allset 1 " + kNew, L"/userset 1 " + kNew, L"/systemset 2 " + kNew,
      L"/baseverify 1 " + kNew + L" " + kBase,  // no apply state: both scopes, no panel
  };
  for (const std::wstring& arguments : lines) {
    const std::string shown(arguments.begin(), arguments.end());
    std::string output;
    EXPECT_EQ(Run(arguments, &output), 1u) << shown;
    EXPECT_EQ(output, "") << shown;
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, layout::kUserTreeKey)) << "nothing written";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, layout::kServiceKey)) << "nothing written";
}

TEST_F(RealTool, BaseVerifyWithBothApplyStatesOffSucceedsAndWritesNothing) {
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 0);
  dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, 0);
  const long machine = CountEntries(HKEY_LOCAL_MACHINE, layout::kServiceKey);
  const long user = CountEntries(HKEY_CURRENT_USER, layout::kUserTreeKey);
  ASSERT_EQ(machine, 4) << "Settings, DPAL, State and its value, below the service key";
  ASSERT_EQ(user, 2);
  std::string output;
  EXPECT_EQ(Run(L"/baseverify 1 " + kNew + L" " + kBase, &output), 0u);
  EXPECT_EQ(output, "");
  EXPECT_EQ(CountEntries(HKEY_LOCAL_MACHINE, layout::kServiceKey), machine);
  EXPECT_EQ(CountEntries(HKEY_CURRENT_USER, layout::kUserTreeKey), user);
  // Only the machine's state on: the machine scope is processed, and without a panel it fails.
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
  EXPECT_EQ(Run(L"/baseverify 1 " + kNew + L" " + kBase, &output), 1u);
  EXPECT_EQ(output, "");
}

}  // namespace

// The platform gate (firmware version against the supported prefixes) and the install state.
#include <string>

#include "common/registry_layout.h"
#include "loader/platform_gate.h"
#include "loader/shared/registry.h"
#include "tests/support/platform_test.h"

namespace {

namespace layout = dpal::layout;
using dpal::test::KeyExists;
using dpal::test::PutDword;
using dpal::test::PutMultiString;
using dpal::test::PutString;

class PlatformGate : public dpal::test::MachineKeysTest {
 protected:
  void Firmware(const std::wstring& version) {
    PutString(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue, version);
  }
  void Prefixes(const std::wstring& joined) {
    PutMultiString(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSupportedBiosPrefixValue,
                   joined);
  }
};

TEST_F(PlatformGate, PrefixMatchesWholeThreeCharacterEntriesInAnyCase) {
  Firmware(L"ABCDE12X");
  Prefixes(L"ABC");
  EXPECT_TRUE(dpal::IsPlatformSupported());
  Prefixes(L"abc");
  EXPECT_TRUE(dpal::IsPlatformSupported()) << "case-insensitive";
  Prefixes(L"ABCD");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "a four-character entry never matches";
  Prefixes(L"AB");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "a two-character entry never matches";
  Prefixes(std::wstring(L"XYZ\0AB\0abc", 10));
  EXPECT_TRUE(dpal::IsPlatformSupported()) << "any entry of the list may match";
}

TEST_F(PlatformGate, FirmwareShapeDecidesBeforeTheList) {
  Prefixes(L"ABC");
  Firmware(L"ABCDE1WX");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "seventh character W";
  Firmware(L"ABCDE1wX");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "seventh character w";
  Firmware(L"ABCDE12");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "seven characters are too few";
  Firmware(L"");
  EXPECT_FALSE(dpal::IsPlatformSupported());
  Firmware(L"ABCDE12XYZ");
  EXPECT_TRUE(dpal::IsPlatformSupported()) << "longer firmware texts are fine";
}

TEST_F(PlatformGate, ValuesOfTheWrongTypeOrShapeMeanUnsupported) {
  Firmware(L"ABCDE12X");
  PutString(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSupportedBiosPrefixValue, L"ABC");
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "the prefix list stored as REG_SZ";
  Prefixes(std::wstring(L"\0ABC", 4));
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "a list whose first entry is empty is empty";
  Prefixes(L"ABC");
  PutDword(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue, 12345678);
  EXPECT_FALSE(dpal::IsPlatformSupported()) << "firmware version stored as a DWORD";
}

TEST_F(PlatformGate, InstallStateMovesOneWay) {
  EXPECT_FALSE(dpal::IsInstallPending()) << "no install-state key: nothing pending";
  EXPECT_FALSE(dpal::MarkInstallDone());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, layout::kInstallStateKey)) << "never created";

  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, layout::kInstallStateKey);
  EXPECT_TRUE(dpal::IsInstallPending()) << "key without State";
  PutString(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, L"1");
  EXPECT_TRUE(dpal::IsInstallPending()) << "State of another type reads as 0";
  PutDword(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, 0);
  EXPECT_TRUE(dpal::IsInstallPending());
  EXPECT_TRUE(dpal::MarkInstallDone());
  EXPECT_FALSE(dpal::IsInstallPending());
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue),
            1u);
  PutDword(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, 2);
  EXPECT_FALSE(dpal::IsInstallPending()) << "any non-zero value is done";
}

}  // namespace

// The package's registry readers and the service's writer, against the registry of either
// build. The readers take the root their caller names; most tests keep their values below the
// fixture's scratch key in HKEY_LOCAL_MACHINE, where the service reads.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "loader/shared/registry.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::test::KeyExists;
using dpal::test::PutBinary;
using dpal::test::PutDword;
using dpal::test::PutMultiString;
using dpal::test::PutString;
using Strings = std::vector<std::wstring>;

class RegistryHelpers : public dpal::test::PlatformTest {
 protected:
  std::wstring Key(const std::wstring& sub = L"") const {
    return sub.empty() ? Scratch() : Scratch() + L"\\" + sub;
  }
  void PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key());
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Key().c_str(), 0, KEY_ALL_ACCESS, &h),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
};

TEST_F(RegistryHelpers, DwordReadsOnlyRegDwordAndDefaultsToZero) {
  PutDword(HKEY_LOCAL_MACHINE, Key(), L"State", 7);
  PutString(HKEY_LOCAL_MACHINE, Key(), L"AsText", L"1");
  const DWORD four_bytes = 1;
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"AsBinary", &four_bytes, sizeof(four_bytes));
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"State"), 7u);
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"state"), 7u)
      << "value names are case-insensitive";
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"AsText"), 0u)
      << "a REG_SZ is not a DWORD";
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"AsBinary"), 0u)
      << "a REG_BINARY is not a DWORD";
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"Missing"), 0u);
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(L"NoSuchKey"), L"State"), 0u);
}

// The core library and the tool read the user's apply state from HKEY_CURRENT_USER or a loaded
// hive, and must tell a stored 0 (off) from a missing value (on).
TEST_F(RegistryHelpers, DwordReaderReadsTheRootItIsGivenAndTellsZeroFromMissing) {
  PutDword(HKEY_CURRENT_USER, Key(), L"State", 0);
  PutDword(HKEY_LOCAL_MACHINE, Key(), L"State", 1);
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Key().c_str(), 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
  const BYTE one[4] = {1, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(h, L"Short", 0, REG_DWORD, one, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(h, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"),
                           2 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  RegCloseKey(h);

  DWORD value = 0xdeadbeef;
  EXPECT_TRUE(dpal::ReadDword(HKEY_CURRENT_USER, Key().c_str(), L"State", &value));
  EXPECT_EQ(value, 0u) << "the user's copy, not the machine's";
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"State"), 1u);
  for (const wchar_t* name : {L"Missing", L"Short", L"Text"}) {
    value = 0xdeadbeef;
    EXPECT_FALSE(dpal::ReadDword(HKEY_CURRENT_USER, Key().c_str(), name, &value)) << name;
    EXPECT_EQ(value, 0xdeadbeefu) << name << ": a failed read leaves the output untouched";
  }
  EXPECT_FALSE(dpal::ReadDword(HKEY_CURRENT_USER, Key(L"NoSuchKey").c_str(), L"State", &value));
}

TEST_F(RegistryHelpers, DwordOfAnotherSizeReadsAsMissing) {
  // Only the first bytes of a longer buffer are stored: a REG_DWORD that is too short.
  const BYTE one[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  PutRaw(L"Four", REG_DWORD, one, 4);
  PutRaw(L"Two", REG_DWORD, one, 2);
  PutRaw(L"Three", REG_DWORD, one, 3);
  PutRaw(L"Eight", REG_DWORD, one, 8);
  PutRaw(L"Empty", REG_DWORD, one, 0);
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"Four"), 1u);
  for (const wchar_t* name : {L"Two", L"Three", L"Eight", L"Empty"}) {
    EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), name), 0u)
        << "a malformed REG_DWORD is no 1";
  }
}

TEST_F(RegistryHelpers, StringReadsTextWithoutTerminator) {
  PutString(HKEY_LOCAL_MACHINE, Key(), L"SDRVersion", L"3");
  PutString(HKEY_LOCAL_MACHINE, Key(), L"Empty", L"");
  PutDword(HKEY_LOCAL_MACHINE, Key(), L"Number", 3);
  PutMultiString(HKEY_LOCAL_MACHINE, Key(), L"List", std::wstring(L"A\0B", 3));
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"SDRVersion"), L"3");
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"Empty"), L"");
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"Number"), L"");
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"List"), L"")
      << "a multi-string is not a string";
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"Missing"), L"");
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(L"NoSuchKey"), L"SDRVersion"), L"");
}

TEST_F(RegistryHelpers, StringStoredWithoutTerminatorKeepsItsLastCharacter) {
  // The stored size leaves out the terminator, and what follows in memory is no terminator
  // either (the registry would count one that followed): the value holds no NUL at all.
  const WCHAR source[] = L"abcdef";
  PutRaw(L"Bare", REG_SZ, source, 3 * sizeof(WCHAR));
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"Bare"), L"abc");
  const WCHAR firmware[] = L"ABCDE12XY";
  PutRaw(L"BIOSVersion", REG_SZ, firmware, 8 * sizeof(WCHAR));
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"BIOSVersion"), L"ABCDE12X");
  // A list stored without its final terminators keeps its last entry whole.
  const WCHAR list[] = L"ABC\0DEFG";
  PutRaw(L"List", REG_MULTI_SZ, list, 7 * sizeof(WCHAR));
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"List"),
            (Strings{L"ABC", L"DEF"}));
}

TEST_F(RegistryHelpers, TextValuesTooShortForOneCharacterReadEmpty) {
  // Sizes below one unit must give the empty result, never an underflowing length.
  const BYTE one_byte[1] = {0x41};
  PutRaw(L"ZeroSz", REG_SZ, one_byte, 0);
  PutRaw(L"OddSz", REG_SZ, one_byte, 1);
  PutRaw(L"ZeroMulti", REG_MULTI_SZ, one_byte, 0);
  PutRaw(L"OddMulti", REG_MULTI_SZ, one_byte, 1);
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"ZeroSz"), L"");
  EXPECT_EQ(dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"OddSz"), L"")
      << "half a character is no text";
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"ZeroMulti"), Strings{});
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"OddMulti"), Strings{});
}

TEST_F(RegistryHelpers, MultiStringStopsAtTheFirstEmptyEntry) {
  PutMultiString(HKEY_LOCAL_MACHINE, Key(), L"Prefixes", std::wstring(L"ABC\0DEF\0GHI", 11));
  PutMultiString(HKEY_LOCAL_MACHINE, Key(), L"Gap", std::wstring(L"ABC\0DEF\0\0GHI", 12));
  PutMultiString(HKEY_LOCAL_MACHINE, Key(), L"LeadingEmpty", std::wstring(L"\0ABC", 4));
  PutString(HKEY_LOCAL_MACHINE, Key(), L"Single", L"ABC");
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"Prefixes"),
            (Strings{L"ABC", L"DEF", L"GHI"}));
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"Gap"),
            (Strings{L"ABC", L"DEF"}));
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"LeadingEmpty"), Strings{});
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"Single"), Strings{})
      << "REG_SZ is not a list";
  EXPECT_EQ(dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"Missing"), Strings{});
}

TEST_F(RegistryHelpers, BinaryAcceptsUpToThirtyFourBytes) {
  BYTE digest[40];
  for (int i = 0; i < 40; ++i) digest[i] = static_cast<BYTE>(0xA0 + i);
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"D32", digest, 32);
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"D34", digest, 34);
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"D35", digest, 35);
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"D40", digest, 40);
  PutString(HKEY_LOCAL_MACHINE, Key(), L"AsText", L"abcdef");

  BYTE out[dpal::kBinaryValueBytes + 4];
  std::fill(std::begin(out), std::end(out), BYTE{0xEE});
  ASSERT_TRUE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"D32", out));
  EXPECT_EQ(std::vector<BYTE>(out, out + 32), std::vector<BYTE>(digest, digest + 32));
  EXPECT_EQ(out[dpal::kBinaryValueBytes], 0xEE) << "nothing written past 34 bytes";
  ASSERT_TRUE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"D34", out));
  EXPECT_EQ(std::vector<BYTE>(out, out + 34), std::vector<BYTE>(digest, digest + 34));
  EXPECT_EQ(out[dpal::kBinaryValueBytes], 0xEE) << "nothing written past 34 bytes";
  EXPECT_FALSE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"D35", out));
  EXPECT_FALSE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"D40", out));
  EXPECT_EQ(out[dpal::kBinaryValueBytes], 0xEE) << "a refused value writes nothing past 34 bytes";
  EXPECT_FALSE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"AsText", out));
  EXPECT_FALSE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"Missing", out));
}

TEST_F(RegistryHelpers, BinaryWithoutBufferFailsWithoutTouchingTheRegistry) {
  BYTE digest[32] = {1, 2, 3};
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"D32", digest, 32);
#if DPAL_SIM
  sim::ClearTrace();
#endif
  EXPECT_FALSE(dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"D32", nullptr));
#if DPAL_SIM
  EXPECT_EQ(sim::CallCount(), 0u);
#endif
}

TEST_F(RegistryHelpers, EnumerateAppendsInOrderAndNeverFails) {
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"Empty"));
  for (const wchar_t* name : {L"QXLCD_B", L"QXLCD_A", L"X_QXLCD_C"}) {
    dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"Catalogue\\") + name);
  }
  const std::wstring long_name(255, L'n');
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"Long\\") + long_name);

  Strings names{L"kept"};
  EXPECT_TRUE(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(L"Empty"), names));
  EXPECT_EQ(names, Strings{L"kept"});
  EXPECT_TRUE(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(L"Missing"), names));
  EXPECT_EQ(names, Strings{L"kept"});
  EXPECT_TRUE(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(L"Catalogue"), names));
  EXPECT_EQ(names, (Strings{L"kept", L"QXLCD_A", L"QXLCD_B", L"X_QXLCD_C"}));

  Strings longs;
  EXPECT_TRUE(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(L"Long"), longs));
  EXPECT_EQ(longs, Strings{long_name});
}

TEST_F(RegistryHelpers, SetDwordFlagWritesOneIntoAnExistingKeyOnly) {
  EXPECT_FALSE(dpal::SetDwordFlag(Key(L"InstallState"), L"State"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Key(L"InstallState"))) << "the key is never created";

  PutString(HKEY_LOCAL_MACHINE, Key(L"InstallState"), L"State", L"0");
  EXPECT_TRUE(dpal::SetDwordFlag(Key(L"InstallState"), L"State"));
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(L"InstallState"), L"State"), 1u)
      << "now a REG_DWORD 1";
}

#if DPAL_SIM

TEST_F(RegistryHelpers, EnumerationSkipsAnIndexThatCannotBeRead) {
  for (const wchar_t* name : {L"A", L"B", L"C"}) dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(name));
  sim::FailNth("RegEnumKeyExW", 2, ERROR_ACCESS_DENIED);
  Strings names;
  EXPECT_TRUE(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(), names));
  EXPECT_EQ(names, (Strings{L"A", L"C"}));
}

TEST_F(RegistryHelpers, SetDwordFlagNeedsWriteAccessToHklm) {
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"InstallState"));
  sim::LoadUserHive(L"S-1-5-21-7-7-7-1001");
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-7-7-7-1001", L"user"));
  EXPECT_FALSE(dpal::SetDwordFlag(Key(L"InstallState"), L"State"));
  sim::SetProcessIdentity(sim::DefaultAdmin());
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(L"InstallState"), L"State"), 0u);
}

TEST_F(RegistryHelpers, EveryFailingCallGivesTheDefaultAndLeaksNothing) {
  PutDword(HKEY_LOCAL_MACHINE, Key(), L"State", 7);
  PutString(HKEY_LOCAL_MACHINE, Key(), L"Text", L"ABC");
  PutMultiString(HKEY_LOCAL_MACHINE, Key(), L"List", std::wstring(L"ABC\0DEF", 7));
  BYTE digest[32] = {9};
  PutBinary(HKEY_LOCAL_MACHINE, Key(), L"Digest", digest, 32);
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"Sub\\One"));
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Key(L"Sub\\Two"));

  // Each run answers the default when a call failed, and the stored value when none did.
  dpal::test::SweepOptions options;
  options.error = ERROR_ACCESS_DENIED;
  using dpal::test::SweepFaults;
  SweepFaults(
      [&] { return dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, Key(), L"State"); },
      [](DWORD v, uint64_t n, bool faulted) { EXPECT_EQ(v, faulted ? 0u : 7u) << "call " << n; },
      options);
  SweepFaults([&] { return dpal::ReadStringValue(HKEY_LOCAL_MACHINE, Key(), L"Text"); },
              [](const std::wstring& v, uint64_t n, bool faulted) {
                EXPECT_EQ(v, faulted ? L"" : L"ABC") << "call " << n;
              },
              options);
  SweepFaults([&] { return dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, Key(), L"List"); },
              [](const Strings& v, uint64_t n, bool faulted) {
                EXPECT_EQ(v, faulted ? Strings{} : (Strings{L"ABC", L"DEF"})) << "call " << n;
              },
              options);
  SweepFaults(
      [&] {
        BYTE out[dpal::kBinaryValueBytes];
        return dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, Key(), L"Digest", out);
      },
      [](bool v, uint64_t n, bool faulted) { EXPECT_EQ(v, !faulted) << "call " << n; }, options);
  SweepFaults(
      [&] {
        Strings names;
        dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, Key(L"Sub"), names);
        return names;
      },
      [](const Strings& v, uint64_t n, bool faulted) {
        if (faulted) {
          EXPECT_LT(v.size(), 2u) << "call " << n;
        } else {
          EXPECT_EQ(v, (Strings{L"One", L"Two"}));
        }
      },
      options);
  SweepFaults([&] { return dpal::SetDwordFlag(Key(), L"Flag"); },
              [](bool v, uint64_t n, bool faulted) { EXPECT_EQ(v, !faulted) << "call " << n; },
              options);
}

#endif

}  // namespace

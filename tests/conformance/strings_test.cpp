// String functions: comparison rules, searching, parsing and bounded formatting.
#include "tests/support/platform_test.h"

namespace {

using dpal::test::PlatformTest;

class Strings : public PlatformTest {};

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

TEST_F(Strings, LengthAndNull) {
  EXPECT_EQ(lstrlenW(L"abc"), 3);
  EXPECT_EQ(lstrlenW(L""), 0);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

TEST_F(Strings, CaseInsensitiveComparisonIsWholeString) {
  EXPECT_EQ(lstrcmpiW(L"SWC\\VEN_TARVEX", L"swc\\ven_tarvex"), 0);
  EXPECT_NE(lstrcmpiW(L"ABCD", L"ABC"), 0);
  EXPECT_LT(lstrcmpiW(L"ABC", L"ABCD"), 0);
  EXPECT_EQ(StrCmpIW(L"Hello", L"hELLO"), 0);
  EXPECT_EQ(Sign(StrCmpIW(L"a", L"B")), -1);
}

TEST_F(Strings, CaseSensitiveComparisonIsLinguistic) {
  EXPECT_EQ(lstrcmpW(L"abc", L"abc"), 0);
  EXPECT_NE(lstrcmpW(L"abc", L"ABC"), 0);
  // Linguistic order: "a" sorts before "B" although 'B' < 'a' in code units.
  EXPECT_LT(lstrcmpW(L"a", L"B"), 0);
  EXPECT_LT(lstrcmpW(L"a", L"A"), 0);
}

TEST_F(Strings, PrefixComparison) {
  EXPECT_EQ(StrCmpNIW(L"S-1-5-21-1", L"s-1-5-21-", 9), 0);
  EXPECT_NE(StrCmpNIW(L"S-1-5-18", L"S-1-5-21-", 9), 0);
  EXPECT_EQ(StrCmpNIW(L"abc", L"abd", 2), 0);
}

TEST_F(Strings, SearchIsCaseSensitiveAndFindsTheFirst) {
  const wchar_t* name = L"X_QXLCD_A_QXLCD_B";
  EXPECT_EQ(StrStrW(name, L"QXLCD_"), name + 2);
  EXPECT_EQ(StrStrW(name, L"qxlcd_"), nullptr);
  const wchar_t* path = L"C:\\Program Files\\Tarvex\\loader.exe";
  EXPECT_EQ(StrRChrW(path, nullptr, L'\\'), path + 23);
  EXPECT_EQ(StrRChrW(L"noslash", nullptr, L'\\'), nullptr);
}

TEST_F(Strings, StrToIntParsesLeadingDecimal) {
  EXPECT_EQ(StrToIntW(L"254"), 254);
  EXPECT_EQ(StrToIntW(L"-12abc"), -12);
  EXPECT_EQ(StrToIntW(L"abc"), 0);
  EXPECT_EQ(StrToIntW(L""), 0);
}

TEST_F(Strings, PrintfFitsExactlyAndFailsOneShort) {
  // "ab\cd" needs 5 units plus the terminator.
  wchar_t exact[6];
  EXPECT_EQ(StringCchPrintfW(exact, 6, L"%s\\%s", L"ab", L"cd"), S_OK);
  EXPECT_STREQ(exact, L"ab\\cd");
  wchar_t roomy[7];
  EXPECT_EQ(StringCchPrintfW(roomy, 7, L"%s\\%s", L"ab", L"cd"), S_OK);
  EXPECT_STREQ(roomy, L"ab\\cd");
  wchar_t shortbuf[5] = {L'x', L'x', L'x', L'x', L'x'};
  EXPECT_EQ(StringCchPrintfW(shortbuf, 5, L"%s\\%s", L"ab", L"cd"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(shortbuf[4], L'\0') << "strsafe always terminates";
}

TEST_F(Strings, PrintfWideStringsAndNumbers) {
  wchar_t out[64];
  ASSERT_EQ(StringCchPrintfW(out, 64, L"%s.%03d", L"ufn", 7), S_OK);
  EXPECT_STREQ(out, L"ufn.007");
  ASSERT_EQ(StringCchPrintfW(out, 64, L"_V%s_", L""), S_OK);
  EXPECT_STREQ(out, L"_V_");
  ASSERT_EQ(StringCchPrintfW(out, 64, L"%u|%x|%08X", 4000000000u, 255u, 0xBEEFu), S_OK);
  EXPECT_STREQ(out, L"4000000000|ff|0000BEEF");
}

TEST_F(Strings, CopyFailsInsteadOfTruncating) {
  wchar_t out[4];
  EXPECT_EQ(StringCchCopyW(out, 4, L"abc"), S_OK);
  EXPECT_STREQ(out, L"abc");
  EXPECT_EQ(StringCchCopyW(out, 4, L"abcd"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(out, L"abc");
}

TEST_F(Strings, ExpandEnvironmentStringsCountsTheTerminatorAndKeepsUnknownNames) {
  wchar_t out[MAX_PATH];
  const DWORD needed = ExpandEnvironmentStringsW(L"%SystemRoot%\\Users", out, MAX_PATH);
  ASSERT_GT(needed, 0u);
  EXPECT_EQ(needed, static_cast<DWORD>(lstrlenW(out) + 1));
  EXPECT_EQ(StrCmpNIW(out + 1, L":\\", 2), 0) << "a drive-letter path";
  EXPECT_EQ(StrStrW(out, L"%"), nullptr);
  EXPECT_EQ(StrCmpIW(out + needed - 1 - 6, L"\\Users"), 0);

  EXPECT_EQ(ExpandEnvironmentStringsW(L"%DPAL_NO_SUCH_VARIABLE%\\x", out, MAX_PATH), 26u);
  EXPECT_STREQ(out, L"%DPAL_NO_SUCH_VARIABLE%\\x");
  // Too small a buffer: the size it takes, terminator included.
  wchar_t small[4];
  EXPECT_EQ(ExpandEnvironmentStringsW(L"%SystemRoot%\\Users", small, 4), needed);
}

}  // namespace

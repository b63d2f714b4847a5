// CommandLineToArgvW: how a command line is split into arguments, argument 0's own rules, the
// empty command line, and the one block the array and its texts come in.
#include <string>
#include <vector>

#include "tests/support/platform_test.h"

namespace {

using dpal::test::PlatformTest;

class CommandLine : public PlatformTest {};

// The arguments of `line`, with the array freed; a failed split gives no arguments.
std::vector<std::wstring> Split(const wchar_t* line) {
  int count = -7;
  LPWSTR* argv = CommandLineToArgvW(line, &count);
  std::vector<std::wstring> args;
  if (argv == nullptr) {
    ADD_FAILURE() << "the split failed: " << GetLastError();
    return args;
  }
  EXPECT_GT(count, 0);
  for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
  EXPECT_EQ(argv[count], nullptr) << "the array ends with a null pointer";
  EXPECT_EQ(LocalFree(argv), nullptr);
  return args;
}

using Args = std::vector<std::wstring>;

TEST_F(CommandLine, BlanksOutsideQuotesSeparateArguments) {
  EXPECT_EQ(Split(L"prog a b"), (Args{L"prog", L"a", L"b"}));
  EXPECT_EQ(Split(L"prog\ta"), (Args{L"prog", L"a"})) << "a tab is a blank";
  EXPECT_EQ(Split(L"prog   x   "), (Args{L"prog", L"x"})) << "blanks at the end are ignored";
  EXPECT_EQ(Split(L"prog "), (Args{L"prog"}));
  EXPECT_EQ(Split(L"prog \"a b\" c"), (Args{L"prog", L"a b", L"c"}));
  EXPECT_EQ(Split(L"prog a\"b c\"d e"), (Args{L"prog", L"ab cd", L"e"}))
      << "quotes may open and close inside an argument";
  EXPECT_EQ(Split(L"prog \"\" x"), (Args{L"prog", L"", L"x"})) << "an empty quoted argument";
  EXPECT_EQ(Split(L"prog \"abc"), (Args{L"prog", L"abc"})) << "an unclosed quote runs to the end";
}

TEST_F(CommandLine, BackslashesCountOnlyBeforeAQuote) {
  EXPECT_EQ(Split(L"prog a\\\\b"), (Args{L"prog", L"a\\\\b"})) << "kept as they are";
  EXPECT_EQ(Split(L"prog a\\\"b"), (Args{L"prog", L"a\"b"})) << "1 and a quote: a literal quote";
  EXPECT_EQ(Split(L"prog a\\\\\\\"b"), (Args{L"prog", L"a\\\"b"})) << "3: one, then the quote";
  EXPECT_EQ(Split(L"prog a\\\\\"b c\""), (Args{L"prog", L"a\\b c"}))
      << "2: one backslash, and the quote opens a quoted part";
  EXPECT_EQ(Split(L"prog \"a\\\\\""), (Args{L"prog", L"a\\"})) << "2 before the closing quote";
  EXPECT_EQ(Split(L"prog \\\\\\\\\"a b\""), (Args{L"prog", L"\\\\a b"})) << "4: two";
  EXPECT_EQ(Split(L"prog \"a\\\"b\""), (Args{L"prog", L"a\"b"}));
}

TEST_F(CommandLine, DoubledQuotesInsideAQuotedPart) {
  EXPECT_EQ(Split(L"prog \"x\"\"y\""), (Args{L"prog", L"x\"y"}));
  // The doubled quote gives a literal quote and ends the quoted part; a tripled one keeps it.
  EXPECT_EQ(Split(L"prog \"x\"\"y z\""), (Args{L"prog", L"x\"y", L"z"}));
  EXPECT_EQ(Split(L"prog \"a\"\"\"b c\""), (Args{L"prog", L"a\"b c"}));
  EXPECT_EQ(Split(L"prog \"\"\"\""), (Args{L"prog", L"\""}));
  EXPECT_EQ(Split(L"prog \"\"\"a\"\"\" b"), (Args{L"prog", L"\"a\"", L"b"}));
  EXPECT_EQ(Split(L"prog a\"\"b"), (Args{L"prog", L"ab"})) << "outside quotes: an empty part";
}

TEST_F(CommandLine, TheProgramHasRulesOfItsOwn) {
  EXPECT_EQ(Split(L"\"C:\\Program Files\\x.exe\" /allset 1 \"My Profile.icm\""),
            (Args{L"C:\\Program Files\\x.exe", L"/allset", L"1", L"My Profile.icm"}));
  // Unquoted: up to the next blank, backslashes and quotes included.
  EXPECT_EQ(Split(L"C:\\dir\\p.exe\\\" x"), (Args{L"C:\\dir\\p.exe\\\"", L"x"}));
  EXPECT_EQ(Split(L"a\"b c"), (Args{L"a\"b", L"c"}));
  // Quoted: up to the next quote, whatever comes before it; the next argument starts right after.
  EXPECT_EQ(Split(L"\"C:\\a\\\"b c"), (Args{L"C:\\a\\", L"b", L"c"}));
  EXPECT_EQ(Split(L"\"pr\"og x"), (Args{L"pr", L"og", L"x"}));
  EXPECT_EQ(Split(L"\"prog"), (Args{L"prog"}));
  // A line that starts with a blank has an empty program.
  EXPECT_EQ(Split(L" prog x"), (Args{L"", L"prog", L"x"}));
}

TEST_F(CommandLine, AnEmptyLineGivesTheProgramPath) {
  WCHAR image[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, image, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH) << GetLastError();
  EXPECT_EQ(Split(L""), (Args{image}));
}

TEST_F(CommandLine, OneBlockFreedWithLocalFree) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(L"prog abc def", &count);
  ASSERT_NE(argv, nullptr) << GetLastError();
  ASSERT_EQ(count, 3);
  // The texts follow the array, inside the same block.
  const auto* begin = reinterpret_cast<const char*>(argv);
  const auto* end = begin + (count + 1) * sizeof(LPWSTR) + (5 + 4 + 4) * sizeof(WCHAR);
  for (int i = 0; i < count; ++i) {
    const auto* text = reinterpret_cast<const char*>(argv[i]);
    EXPECT_GE(text, begin + (count + 1) * sizeof(LPWSTR)) << i;
    EXPECT_LT(text, end) << i;
  }
#if DPAL_SIM
  EXPECT_EQ(sim::Leaks().local_allocations, 1) << "one LocalAlloc block";
#endif
  EXPECT_EQ(LocalFree(argv), nullptr) << GetLastError();
}

TEST_F(CommandLine, ANullCountIsAnInvalidParameter) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CommandLineToArgvW(L"prog a", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace

// Bounded formatting and the handle owners.
#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "tests/support/sim_test.h"

namespace {

class Common : public dpal::test::PlatformTest {};

TEST_F(Common, FormatFitsWithTerminatorAndFailsOneUnitShort) {
  WCHAR exact[6];
  EXPECT_TRUE(dpal::Format(exact, L"%s\\%s", L"ab", L"cd"));
  EXPECT_STREQ(exact, L"ab\\cd");

  WCHAR tight[5];
  tight[0] = L'x';
  EXPECT_FALSE(dpal::Format(tight, L"%s\\%s", L"ab", L"cd"));
  EXPECT_STREQ(tight, L"") << "a failed format leaves no truncated text behind";
}

TEST_F(Common, PathBufferTakes259UnitsAndRefuses260) {
  WCHAR path[dpal::kPathUnits];
  const std::wstring dir(255, L'd');
  EXPECT_TRUE(dpal::Format(path, L"%s\\%s", dir.c_str(), L"abc"));  // 259 units
  EXPECT_EQ(std::wstring(path).size(), 259u);
  EXPECT_FALSE(dpal::Format(path, L"%s\\%s", dir.c_str(), L"abcd"));  // 260 units
  EXPECT_STREQ(path, L"");
}

TEST_F(Common, CopyRefusesTextThatDoesNotFit) {
  WCHAR out[4];
  EXPECT_TRUE(dpal::Copy(out, L"abc"));
  EXPECT_STREQ(out, L"abc");
  EXPECT_FALSE(dpal::Copy(out, L"abcd"));
  EXPECT_STREQ(out, L"");
}

TEST_F(Common, OwnerClosesOnScopeExitAndMoveTransfers) {
  HANDLE raw = nullptr;
  {
    dpal::UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    raw = event.get();
    dpal::UniqueEvent moved(std::move(event));
    EXPECT_FALSE(event.valid());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(moved.get(), raw);
  }
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(raw)) << "the owner closed the handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Common, ReleaseDetachesAndResetKeepsTheLastError) {
  dpal::UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  HANDLE raw = event.release();
  EXPECT_FALSE(event.valid());
  ASSERT_NE(raw, nullptr);
  event.reset(raw);
  SetLastError(1234);
  event.reset();
  EXPECT_EQ(GetLastError(), 1234u) << "closing must not overwrite the caller's error";
}

TEST_F(Common, FileOwnerTreatsInvalidHandleValueAsNothing) {
  dpal::UniqueFile file;
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
  dpal::UniqueDeviceInfoSet set;
  EXPECT_FALSE(set.valid());
}

TEST_F(Common, KeyOwnerPutClosesThePreviousKey) {
  dpal::UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  HKEY first = key.get();
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, KEY_READ, key.Put()),
            ERROR_SUCCESS);
  EXPECT_NE(key.get(), nullptr);
#if DPAL_SIM
  EXPECT_EQ(sim::OpenHandleCount("key"), 1) << "Put() closed " << first;
#else
  (void)first;
#endif
}

TEST_F(Common, LocalMemoryOwnerFrees) {
  {
    dpal::UniqueLocalMemory block(LocalAlloc(LPTR, 16));
    ASSERT_TRUE(block.valid());
  }
#if DPAL_SIM
  EXPECT_EQ(sim::Leaks().local_allocations, 0);
#endif
}

}  // namespace

// The owner gate of the final cleanup: only a string in "Owners" holds the cleanup back.
#include <string>

#include "common/registry_layout.h"
#include "tests/support/platform_test.h"
#include "uninstaller/flow.h"

namespace {

using dpal::uninstaller::HasNoOwners;
namespace layout = dpal::layout;

class OwnerGate : public dpal::test::MachineKeysTest {};

TEST_F(OwnerGate, OnlyAStringInTheListClosesIt) {
  EXPECT_TRUE(HasNoOwners()) << "no service key";
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, layout::kServiceKey);
  EXPECT_TRUE(HasNoOwners()) << "no value";

  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                             L"TarvexControlCenter");
  EXPECT_FALSE(HasNoOwners()) << "one owner";
  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                             std::wstring(L"A") + L'\0' + L"B");
  EXPECT_FALSE(HasNoOwners()) << "two owners";

  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue, L"");
  EXPECT_TRUE(HasNoOwners()) << "the value holds the empty list";

  // Another type is no list at all, whatever it says.
  dpal::test::PutString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                        L"TarvexControlCenter");
  EXPECT_TRUE(HasNoOwners()) << "REG_SZ";
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue, 1);
  EXPECT_TRUE(HasNoOwners()) << "REG_DWORD";
}

#if DPAL_SIM
TEST_F(OwnerGate, AReadThatFailsCountsAsNoOwner) {
  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                             L"TarvexControlCenter");
  sim::FailAlways("RegGetValueW", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(HasNoOwners());
}
#endif

}  // namespace

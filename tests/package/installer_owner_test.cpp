// The installer's withdrawal of its owner from "Owners", which the development installer and the
// MSI's removal share: only the installer's own entry goes, so that another product's owner
// keeps the package's final cleanup waiting.
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "installer/owners.h"
#include "installer/package_items.h"
#include "loader/shared/registry.h"
#include "tests/support/platform_test.h"

namespace {

namespace installer = dpal::installer;
namespace layout = dpal::layout;
using Owners = std::vector<std::wstring>;

class InstallerOwner : public dpal::test::MachineKeysTest {
 protected:
  // "Owners" with the given entries.
  void PutOwners(const Owners& owners) {
    std::wstring joined;
    for (const std::wstring& owner : owners) joined += owner + L'\0';
    dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                               joined);
  }
  Owners ReadOwners() {
    return dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey,
                                      layout::kOwnersValue);
  }
};

TEST_F(InstallerOwner, AnotherProductsOwnerStaysWhenTheInstallersIsWithdrawn) {
  PutOwners({L"OtherProduct", installer::kInstallerOwnerName, L"ThirdProduct"});
  EXPECT_EQ(installer::WithdrawOwner(installer::kInstallerOwnerName), ERROR_SUCCESS);
  EXPECT_EQ(ReadOwners(), (Owners{L"OtherProduct", L"ThirdProduct"}));
  // A second withdrawal (a removal run again) changes nothing.
  EXPECT_EQ(installer::WithdrawOwner(installer::kInstallerOwnerName), ERROR_SUCCESS);
  EXPECT_EQ(ReadOwners(), (Owners{L"OtherProduct", L"ThirdProduct"}));
}

TEST_F(InstallerOwner, TheLastOwnerLeavesAnEmptyListAndWithoutTheServiceKeyNothingIsWritten) {
  PutOwners({installer::kInstallerOwnerName});
  EXPECT_EQ(installer::WithdrawOwner(installer::kInstallerOwnerName), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0xdeadbeef;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue, RRF_RT_ANY,
                         &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(size, sizeof(WCHAR)) << "the empty list: its terminating empty entry alone";

  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kServiceKey), ERROR_SUCCESS);
  EXPECT_EQ(installer::WithdrawOwner(installer::kInstallerOwnerName), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(dpal::test::KeyExists(HKEY_LOCAL_MACHINE, layout::kServiceKey));
}

}  // namespace

// DPALCore.dll as its client sees it: the library loaded by name from the install directory and
// each export resolved with GetProcAddress. The operations behind the exports have tests of their
// own; here each name must reach its own operation (the user's list and not the machine's, the
// marker and not the apply state, ...).
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/module.h"
#include "common/registry_layout.h"
#include "common/user_session.h"
#include "core/dpal_core.h"
#include "tests/support/platform_test.h"
#include "harness/laptop.h"

namespace {

namespace laptop = dpal::laptop;
namespace layout = dpal::layout;

const std::wstring kSdr = L"QXLCD_Panel_V3_S.icm";
const std::wstring kOther = L"Other.icm";
const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";

class CoreExports : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    laptop::RegisterCoreLibrary();
    for (const std::wstring& name : {kSdr, kOther}) sim::InstallColourProfile(name);
    admin_ = sim::DefaultAdmin().user_sid;
    library_ = dpal::UniqueModule(LoadLibraryExW(laptop::kCoreLibrary.c_str(), nullptr, 0));
    ASSERT_TRUE(library_) << "DPALCore.dll does not load";
  }
  void TearDown() override {
    library_.reset();
    PlatformTest::TearDown();
  }
  template <typename F>
  F Export(const char* name) {
    F function = dpal::ExportOf<F>(library_, name);
    EXPECT_NE(function, nullptr) << name << " is not exported";
    return function;
  }
  static std::vector<std::wstring> List(const std::wstring& scope) {
    return sim::ColourAssociations(scope, sim::kLaptopGpu, 0, false);
  }

  std::wstring admin_;
  dpal::UniqueModule library_;
};

TEST_F(CoreExports, DisassociateUserColorProfileRemovesFromTheUsersListOnly) {
  const auto remove =
      Export<decltype(&::DisassociateUserColorProfile)>("DisassociateUserColorProfile");
  ASSERT_NE(remove, nullptr);
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr});
  sim::SetColourAssociations(admin_, sim::kLaptopGpu, 0, false, {kOther, kSdr});
  EXPECT_EQ(remove(1, kSdr.c_str()), 1);
  EXPECT_EQ(List(admin_), std::vector<std::wstring>{kOther});
  EXPECT_EQ(List(L""), std::vector<std::wstring>{kSdr}) << "the machine's list is apart";
  EXPECT_EQ(remove(1, kSdr.c_str()), 0) << "no longer in the user's list";
}

TEST_F(CoreExports, UninstallICCProfileRemovesTheProfileFromTheMachine) {
  const auto uninstall = Export<decltype(&::UninstallICCProfile)>("UninstallICCProfile");
  ASSERT_NE(uninstall, nullptr);
  EXPECT_EQ(uninstall(1, kOther.c_str()), 1);
  EXPECT_FALSE(sim::ColourProfileInstalled(kOther));
  EXPECT_TRUE(sim::ColourProfileInstalled(kSdr));
  EXPECT_EQ(uninstall(1, kOther.c_str()), 0) << "gone already";
}

TEST_F(CoreExports, SaveUserProfileWritesTheMarkerAndNoApplyState) {
  const auto save = Export<decltype(&::SaveUserProfile)>("SaveUserProfile");
  ASSERT_NE(save, nullptr);
  SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
  EXPECT_EQ(save(L"QXLCD_Panel_V3_S"), 1);
  const std::wstring marker = std::wstring(layout::kProfileMarkerKey) + L"\\QXLCD_Panel_V3_S";
  EXPECT_TRUE(dpal::test::KeyExists(HKEY_CURRENT_USER, marker));
  EXPECT_FALSE(dpal::test::KeyExists(HKEY_CURRENT_USER, layout::kUserApplyStateKey));
  EXPECT_EQ(save(nullptr), 0);
  SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
}

TEST_F(CoreExports, IsSystemUserAndRevertBackToSelfAnswerForTheCaller) {
  const auto is_system = Export<decltype(&::IsSystemUser)>("IsSystemUser");
  const auto revert = Export<decltype(&::RevertBackToSelf)>("RevertBackToSelf");
  ASSERT_NE(is_system, nullptr);
  ASSERT_NE(revert, nullptr);
  EXPECT_EQ(is_system(), 0) << "the administrator is not LocalSystem";

  sim::LogOn(2, kBobSid, L"bob");
  sim::SetConsoleSession(2);
  sim::Identity system = sim::LocalSystem(L"C:\\Program Files\\Client\\client.exe");
  system.session_id = 2;
  sim::SetProcessIdentity(system);
  EXPECT_EQ(is_system(), 1);
  dpal::UniqueToken bob;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(bob));
  ASSERT_TRUE(ImpersonateLoggedOnUser(bob.get()));
  EXPECT_EQ(sim::Leaks().impersonating_threads, 1);
  EXPECT_EQ(revert(), 1);
  EXPECT_EQ(sim::Leaks().impersonating_threads, 0) << "the thread is itself again";
  EXPECT_EQ(is_system(), 1);
}

}  // namespace

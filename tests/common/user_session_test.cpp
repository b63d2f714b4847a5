// The user-scope pieces every program shares: the console user's token, impersonation and a
// loaded profile that end with their scope, the typed WTS memory and the own image path.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "common/own_image.h"
#include "common/user_session.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::UniqueToken;
using dpal::test::TokenUserSid;

// Whether the calling thread impersonates (has a token of its own).
bool ThreadImpersonates() {
  UniqueToken token;
  return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) != FALSE;
}

class UserSession : public dpal::test::PlatformTest {
 protected:
#if DPAL_SIM
  static constexpr const wchar_t* kAliceSid = L"S-1-5-21-5-5-5-1001";
  // The service's case: LocalSystem, with alice at the console in session 2.
  void AliceAtTheConsole() {
    sim::SetProcessIdentity(sim::LocalSystem());
    sim::SetConsoleSession(2);
    sim::LogOn(2, kAliceSid, L"alice");
  }
#endif
  // The user that QueryConsoleUserToken must find.
  std::wstring ConsoleUserSid() {
#if DPAL_SIM
    return kAliceSid;
#else
    // Wine: the prefix user is at the console, and the test runs as that user.
    UniqueToken own;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.Put()));
    return TokenUserSid(own.get());
#endif
  }
  void Prepare() {
#if DPAL_SIM
    AliceAtTheConsole();
#endif
  }
};

TEST_F(UserSession, ConsoleUserTokenIsThatOfTheUserAtTheConsole) {
  Prepare();
  UniqueToken token;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(token)) << GetLastError();
  ASSERT_TRUE(token.valid());
  EXPECT_EQ(TokenUserSid(token.get()), ConsoleUserSid());
}

TEST_F(UserSession, ImpersonationEndsWithItsScope) {
  Prepare();
  UniqueToken token;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(token));
  ASSERT_FALSE(ThreadImpersonates());
  {
    dpal::Impersonation impersonation;
    ASSERT_TRUE(impersonation.Begin(token.get())) << GetLastError();
    EXPECT_TRUE(impersonation.active());
    EXPECT_TRUE(ThreadImpersonates());
  }
  EXPECT_FALSE(ThreadImpersonates()) << "the scope's end reverted the impersonation";
}

#if DPAL_SIM
// A revert that fails leaves the thread acting as the user: the process ends right there, and
// nothing after the impersonation's scope runs.
TEST_F(UserSession, FailedRevertEndsTheProcessThere) {
  Prepare();
  struct Shared {
    UniqueToken token;
    std::atomic<uint64_t> thread{0};
    std::atomic<bool> began{false};
    std::atomic<bool> carried_on{false};
  };
  auto shared = std::make_shared<Shared>();
  ASSERT_TRUE(dpal::QueryConsoleUserToken(shared->token));
  sim::FailAlways("RevertToSelf", ERROR_ACCESS_DENIED);
  std::thread thread([shared] {
    shared->thread = sim::ThreadNumber();
    {
      dpal::Impersonation impersonation;
      shared->began = impersonation.Begin(shared->token.get());
    }
    shared->carried_on = true;
  });
  auto failed_fast = [&] {
    const std::vector<uint64_t> ended = sim::FailFastThreads();
    return shared->thread != 0 &&
           std::find(ended.begin(), ended.end(), shared->thread.load()) != ended.end();
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!failed_fast() && !shared->carried_on && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(shared->began);
  EXPECT_FALSE(shared->carried_on) << "the thread went on as the user after its revert failed";
  EXPECT_TRUE(failed_fast());
  if (shared->carried_on) {
    thread.join();
  } else {
    thread.detach();  // stopped for good, as a thread of an ended process
  }
  // The stopped thread keeps its impersonation and the token; a process's end would take them.
  KeepLeaksOnPurpose();
}
#endif

TEST_F(UserSession, TypedWtsMemoryTakesTheSessionTextDirectly) {
  Prepare();
  dpal::UniqueWtsMemory<WCHAR> name;
  DWORD bytes = 0;
  const DWORD session = WTSGetActiveConsoleSessionId();
  ASSERT_TRUE(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName,
                                          name.Put(), &bytes));
  ASSERT_TRUE(name.valid());
  EXPECT_EQ(bytes, (std::wstring(name.get()).size() + 1) * sizeof(WCHAR));
#if DPAL_SIM
  EXPECT_STREQ(name.get(), L"alice");
#endif
  // Asking again through Put() frees the first answer (the leak check at the end sees to it).
  ASSERT_TRUE(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName,
                                          name.Put(), &bytes));
}

TEST_F(UserSession, OwnImagePathIsTheRunningImage) {
  WCHAR path[dpal::kPathUnits];
  ASSERT_TRUE(dpal::GetOwnImagePath(path));
  WCHAR module[dpal::kPathUnits];
  ASSERT_GT(GetModuleFileNameW(nullptr, module, dpal::kPathUnits), 0u);
  EXPECT_EQ(lstrcmpiW(path, module), 0);
}

#if DPAL_SIM

TEST_F(UserSession, NoConsoleTokenForOthersThanLocalSystemOrWithoutAUser) {
  UniqueToken token;
  EXPECT_FALSE(dpal::QueryConsoleUserToken(token)) << "an administrator is not LocalSystem";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_FALSE(token.valid());

  AliceAtTheConsole();
  sim::LogOff(2);
  EXPECT_FALSE(dpal::QueryConsoleUserToken(token)) << "the logon screen";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  sim::SetConsoleSession(sim::kNoConsoleSession);
  EXPECT_FALSE(dpal::QueryConsoleUserToken(token)) << "no session at the console";
  EXPECT_FALSE(token.valid());
}

TEST_F(UserSession, FailedImpersonationHasNothingToRevert) {
  AliceAtTheConsole();
  UniqueToken token;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(token));
  sim::FailAlways("ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED);
  {
    dpal::Impersonation impersonation;
    EXPECT_FALSE(impersonation.Begin(token.get()));
    EXPECT_FALSE(impersonation.active());
  }
  EXPECT_EQ(sim::CallCount("RevertToSelf"), 0u);
}

TEST_F(UserSession, LoadedProfileIsUnloadedWithItsScope) {
  AliceAtTheConsole();
  UniqueToken token;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(token));
  WCHAR user[] = L"alice";
  PROFILEINFOW info = {};
  info.dwSize = sizeof(info);
  info.lpUserName = user;
  {
    dpal::LoadedProfile profile;
    ASSERT_TRUE(profile.Load(token.get(), info)) << GetLastError();
    EXPECT_EQ(sim::LoadedProfileCount(), 1);
  }
  EXPECT_EQ(sim::LoadedProfileCount(), 0);

  sim::FailAlways("LoadUserProfileW", ERROR_ACCESS_DENIED);
  {
    dpal::LoadedProfile profile;
    EXPECT_FALSE(profile.Load(token.get(), info));
  }
  EXPECT_EQ(sim::CallCount("UnloadUserProfile"), 1u) << "only the profile that was loaded";
}

// The token must outlive the profile unloaded with it, and the root is only valid while the
// profile is loaded: the owner releases them in that order, and a failed load leaves nothing.
TEST_F(UserSession, ConsoleUserHiveUnloadsTheProfileBeforeClosingTheToken) {
  AliceAtTheConsole();
  sim::Identity system = sim::LocalSystem();
  system.session_id = 2;  // a LocalSystem program in alice's session
  sim::SetProcessIdentity(system);
  sim::RecordTrace(true);
  {
    dpal::ConsoleUserHive hive;
    ASSERT_TRUE(hive.Load()) << GetLastError();
    ASSERT_NE(hive.root(), nullptr);
    EXPECT_EQ(sim::LoadedProfileCount(), 1);
    dpal::test::MakeKey(hive.root(), L"Software\\DPALTest.Hive");
    EXPECT_TRUE(
        dpal::test::KeyExists(HKEY_USERS, std::wstring(kAliceSid) + L"\\Software\\DPALTest.Hive"))
        << "the root is alice's hive";
    sim::ClearTrace();
  }
  std::vector<std::string> released;
  for (const sim::Call& call : sim::Trace()) released.push_back(call.function);
  EXPECT_EQ(released, (std::vector<std::string>{"UnloadUserProfile", "CloseHandle"}));
  EXPECT_EQ(sim::LoadedProfileCount(), 0);
  EXPECT_EQ(sim::OpenHandleCount("token"), 0);

  sim::FailAlways("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY);
  {
    dpal::ConsoleUserHive hive;
    EXPECT_FALSE(hive.Load());
    EXPECT_EQ(hive.root(), nullptr);
  }
  EXPECT_EQ(sim::OpenHandleCount("token"), 0) << "the token of a failed load is closed too";
  EXPECT_EQ(sim::LoadedProfileCount(), 0);
}

#endif

}  // namespace

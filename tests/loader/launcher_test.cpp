// The user-session launcher: what it starts, where and as whom, the integrity check that
// decides whether anything starts at all, and cleanup on every path.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/integrity.h"
#include "loader/launcher.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using namespace std::chrono_literals;

const std::wstring kDir = L"C:\\Program Files\\Tarvex\\DPAL";
const std::wstring kService = kDir + L"\\TarvexDPALLoader.exe";
const std::wstring kProgram = kDir + L"\\TarvexDPALProfile.exe";

const sim::Certificate kPublisher = {L"CN=Tarvex Code Signing", L"CN=Tarvex Root", L"3A01",
                                     L"CN=Tarvex Root"};
const sim::Certificate kOtherPublisher = {L"CN=Someone Else", L"CN=Public Root", L"77",
                                          L"CN=Public Root"};
const sim::Certificate kUntrustedPublisher = {L"CN=Tarvex Code Signing", L"CN=Homemade Root",
                                              L"3A01", L"CN=Homemade Root"};

// Fails every call of `function` whose arguments name `text`.
void FailCallsNaming(const std::string& function, const std::wstring& text, DWORD error) {
  sim::FailIf(
      function,
      [text](const sim::Call& call) { return call.args.find(text) != std::wstring::npos; }, error);
}

class Launcher : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::TrustRoot(L"CN=Tarvex Root");
    sim::TrustRoot(L"CN=Public Root");
    InstallService(kService, kPublisher);
    program_bytes_ = sim::ProgramBytes("profile");
    sim::PutFile(kProgram, program_bytes_);
    sim::SignFile(kProgram, kPublisher);
    signed_bytes_ = Bytes(kProgram);
    sim::RegisterProgram(kProgram, [this](const sim::Launch&) -> DWORD {
      // What was started is what the file holds now: the launcher keeps it unchangeable.
      std::vector<uint8_t> bytes = Bytes(kProgram);
      std::lock_guard<std::mutex> guard(started_lock_);  // launches may run at once
      started_bytes_.push_back(std::move(bytes));
      return exit_code_.load();
    });
  }
  void TearDown() override {
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    // The test's own thread plays the service's process, whose end would take back what the
    // check keeps.
    dpal::ReleaseProcessTrustStateForTesting();
    PlatformTest::TearDown();
  }

  static std::vector<uint8_t> Bytes(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    sim::GetFile(path, &bytes);
    return bytes;
  }
  // A new run of the service from `image`: nothing of an earlier run's check is kept.
  void InstallService(const std::wstring& image, const sim::Certificate& signer) {
    dpal::ReleaseProcessTrustStateForTesting();
    sim::PutFile(image, sim::ProgramBytes("service"));
    sim::SignFile(image, signer);
    sim::SetProcessIdentity(sim::LocalSystem(image));
  }
  // The WinVerifyTrust verifications (not the closes) of the file at `path` from now on.
  void CountVerifications() {
    sim::SetTraceSink([this](const sim::Call& call) {
      if (call.function != "WinVerifyTrust") return;
      const bool close =
          call.args.size() >= 3 && call.args.compare(call.args.size() - 3, 3, L", 2") == 0;
      if (close) return;
      std::lock_guard<std::mutex> guard(verified_lock_);
      if (call.args.find(kService) != std::wstring::npos) ++service_verified_;
      if (call.args.find(kProgram) != std::wstring::npos) ++program_verified_;
    });
  }
  bool Launch(const wchar_t* switch_text = dpal::kSwitchInstall) {
    dpal::ProfileProgramLauncher launcher;
    return launcher.LaunchProfileProgram(switch_text);
  }

  std::vector<uint8_t> program_bytes_;
  std::vector<uint8_t> signed_bytes_;
  std::mutex started_lock_;
  std::vector<std::vector<uint8_t>> started_bytes_;
  std::atomic<DWORD> exit_code_{0};
  std::mutex verified_lock_;
  int service_verified_ = 0;
  int program_verified_ = 0;
};

TEST_F(Launcher, StartsTheProgramBesideTheServiceInTheConsoleSession) {
  sim::SetConsoleSession(2);
  sim::LogOn(2, L"S-1-5-21-5-5-5-1001", L"alice");
  ASSERT_TRUE(Launch(L"/i"));
  const auto launches = sim::Launches();
  ASSERT_EQ(launches.size(), 1u);
  const sim::Launch& launch = launches[0];
  EXPECT_EQ(launch.function, "CreateProcessAsUserW");
  EXPECT_EQ(launch.application_name, kProgram);
  EXPECT_EQ(launch.command_line, kProgram + L" /i") << "the path unquoted, one blank, the switch";
  EXPECT_EQ(launch.current_directory, kDir);
  EXPECT_EQ(launch.desktop, L"WinSta0\\Default");
  EXPECT_EQ(launch.session_id, 2u);
  EXPECT_EQ(launch.user_sid, sim::kLocalSystemSid) << "a copy of the service's own token";
  EXPECT_NE(launch.creation_flags & CREATE_UNICODE_ENVIRONMENT, 0u);
  EXPECT_EQ(started_bytes_, std::vector<std::vector<uint8_t>>{signed_bytes_});
}

TEST_F(Launcher, EverySwitchIsPassedAsItStands) {
  for (const wchar_t* s : {dpal::kSwitchRestore, dpal::kSwitchVerifyProfile, dpal::kSwitchSetState,
                           dpal::kSwitchResetState, dpal::kSwitchSetUser}) {
    ASSERT_TRUE(Launch(s));
  }
  std::vector<std::wstring> lines;
  for (const sim::Launch& launch : sim::Launches()) lines.push_back(launch.command_line);
  EXPECT_EQ(lines, (std::vector<std::wstring>{kProgram + L" /r", kProgram + L" /verifyprofile",
                                              kProgram + L" /ss", kProgram + L" /rs",
                                              kProgram + L" /su"}));
}

TEST_F(Launcher, WithoutASwitchTheCommandLineIsThePathAlone) {
  DWORD exit_code = 0xdeadbeef;
  ASSERT_TRUE(dpal::LaunchAsConsoleUser(kProgram.c_str(), nullptr, &exit_code));
  ASSERT_EQ(sim::Launches().size(), 1u);
  EXPECT_EQ(sim::Launches()[0].command_line, kProgram);
  EXPECT_FALSE(dpal::LaunchAsConsoleUser(nullptr, dpal::kSwitchInstall, &exit_code));
  EXPECT_EQ(sim::Launches().size(), 1u);
}

TEST_F(Launcher, ExitCodeAndFailedStartDoNotMatterOnceTheCheckPassed) {
  exit_code_ = 1;
  EXPECT_TRUE(Launch());
  exit_code_ = 0;
  EXPECT_TRUE(Launch());
  sim::FailAlways("CreateProcessAsUserW", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Launch());
  EXPECT_EQ(sim::Launches().size(), 2u);
}

// Each refusal holds at the service's first launch and at a later one, once the service's own
// signer is kept: the program file is checked afresh every time.
TEST_F(Launcher, ProgramsThatFailTheIntegrityCheckNeverStart) {
  struct Case {
    const char* what;
    void (*arrange)(const std::vector<uint8_t>& signed_bytes);
  };
  const Case cases[] = {
      {"unsigned",
       [](const std::vector<uint8_t>&) { sim::PutFile(kProgram, sim::ProgramBytes("unsigned")); }},
      {"tampered",
       [](const std::vector<uint8_t>& signed_bytes) {
         auto bytes = signed_bytes;
         bytes.back() ^= 0x01;
         sim::PutFile(kProgram, bytes);
       }},
      {"another publisher",
       [](const std::vector<uint8_t>&) { sim::SignFile(kProgram, kOtherPublisher); }},
      {"untrusted root",
       [](const std::vector<uint8_t>&) { sim::SignFile(kProgram, kUntrustedPublisher); }},
      {"root no longer trusted",
       [](const std::vector<uint8_t>&) { sim::DistrustRoot(L"CN=Tarvex Root"); }},
      {"missing", [](const std::vector<uint8_t>&) { sim::RemoveFile(kProgram); }},
  };
  for (const bool later : {false, true}) {
    for (const Case& c : cases) {
      const std::string what = std::string(c.what) + (later ? " (a later launch)" : "");
      sim::TrustRoot(L"CN=Tarvex Root");
      sim::PutFile(kProgram, program_bytes_);
      sim::SignFile(kProgram, kPublisher);
      InstallService(kService, kPublisher);
      if (later) {
        ASSERT_TRUE(Launch()) << what;
      }
      const size_t before = sim::Launches().size();
      c.arrange(signed_bytes_);
      EXPECT_FALSE(Launch()) << what;
      EXPECT_EQ(sim::Launches().size(), before) << what;
    }
  }
  // An unsigned service image has no signer for any program to match.
  InstallService(kService, kPublisher);
  sim::PutFile(kService, sim::ProgramBytes("unsigned service"));
  const size_t before = sim::Launches().size();
  EXPECT_FALSE(Launch());
  EXPECT_EQ(sim::Launches().size(), before);
}

// The image the service runs from cannot change under it: its signer is read at the first launch
// and kept, and the trust libraries are loaded then, from the system directory, and stay.
TEST_F(Launcher, TheServiceImageIsVerifiedOnceAcrossLaunches) {
  const std::wstring wintrust = L"C:\\Windows\\System32\\wintrust.dll";
  const std::wstring crypt32 = L"C:\\Windows\\System32\\crypt32.dll";
  EXPECT_EQ(sim::ModuleTimesLoaded(wintrust), 0) << "nothing loaded before the first launch";
  CountVerifications();
  constexpr int kLaunches = 5;
  for (int n = 0; n < kLaunches; ++n) ASSERT_TRUE(Launch()) << n;
  sim::SetTraceSink(nullptr);
  EXPECT_EQ(service_verified_, 1);
  EXPECT_EQ(program_verified_, kLaunches) << "the program's bytes can change between launches";
  EXPECT_EQ(sim::Launches().size(), static_cast<size_t>(kLaunches));
  EXPECT_EQ(sim::ModuleTimesLoaded(wintrust), 1);
  EXPECT_EQ(sim::ModuleTimesLoaded(crypt32), 1);
  EXPECT_EQ(sim::ModuleLoadCount(wintrust), 1) << "kept loaded for the next launch";
}

// A first launch that could not read the service's signer, or load the libraries, keeps nothing
// that would let a later launch skip the check: the next launch reads again.
TEST_F(Launcher, AFailedFirstReadOfTheServiceSignerIsReadAgain) {
  struct Case {
    const char* what;
    void (*arrange)();
    void (*mend)();
  };
  const Case cases[] = {
      {"verification of the service image fails",
       [] { FailCallsNaming("WinVerifyTrust", kService, ERROR_NOT_ENOUGH_MEMORY); },
       [] { sim::ClearFaults(); }},
      {"the service image is unsigned",
       [] { sim::PutFile(kService, sim::ProgramBytes("service")); },
       [] {
         sim::PutFile(kService, sim::ProgramBytes("service"));
         sim::SignFile(kService, kPublisher);
       }},
      {"the service image cannot be opened",
       [] { FailCallsNaming("CreateFileW", kService, ERROR_SHARING_VIOLATION); },
       [] { sim::ClearFaults(); }},
      {"wintrust.dll cannot be loaded",
       [] { FailCallsNaming("LoadLibraryExW", L"wintrust", ERROR_MOD_NOT_FOUND); },
       [] { sim::ClearFaults(); }},
      {"crypt32.dll cannot be loaded",
       [] { FailCallsNaming("LoadLibraryExW", L"crypt32", ERROR_MOD_NOT_FOUND); },
       [] { sim::ClearFaults(); }},
      {"wintrust.dll exports nothing", [] { sim::RegisterSystemModule(L"wintrust.dll", {}); },
       [] {
         sim::RegisterSystemModule(
             L"wintrust.dll", {{"WinVerifyTrust", 0, reinterpret_cast<void (*)()>(&WinVerifyTrust)},
                               {"WTHelperProvDataFromStateData", 0,
                                reinterpret_cast<void (*)()>(&WTHelperProvDataFromStateData)},
                               {"WTHelperGetProvSignerFromChain", 0,
                                reinterpret_cast<void (*)()>(&WTHelperGetProvSignerFromChain)}});
       }},
  };
  for (const Case& c : cases) {
    InstallService(kService, kPublisher);
    const size_t before = sim::Launches().size();
    c.arrange();
    EXPECT_FALSE(Launch()) << c.what;
    EXPECT_FALSE(Launch()) << c.what << ": still refused on the next launch";
    EXPECT_EQ(sim::Launches().size(), before) << c.what;
    c.mend();
    EXPECT_TRUE(Launch()) << c.what << ": read again once it can be";
    EXPECT_EQ(sim::Launches().size(), before + 1) << c.what;
  }
}

// Launches that start at once, before anything is kept, all check and start the program; what
// one of them read is kept and the other lets go of its own. The first to verify the service's
// image is held there until the second has launched, so the second's reading is the one kept.
TEST_F(Launcher, FirstLaunchesAtOnceAllCheck) {
  std::mutex lock;
  std::condition_variable changed;
  bool second_done = false;
  std::atomic<std::thread::id> first{};
  sim::SetTraceSink([&](const sim::Call& call) {
    if (call.function != "WinVerifyTrust" || call.args.find(kService) == std::wstring::npos) {
      return;
    }
    std::thread::id none;
    if (!first.compare_exchange_strong(none, std::this_thread::get_id())) return;
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, 10s, [&] { return second_done; }));
  });
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < 2; ++n) {
    threads.emplace_back([&] {
      if (Launch()) ++accepted;
      if (first.load() == std::this_thread::get_id()) return;
      std::lock_guard<std::mutex> guard(lock);
      second_done = true;
      changed.notify_all();
    });
  }
  for (std::thread& thread : threads) thread.join();
  sim::SetTraceSink(nullptr);
  EXPECT_EQ(accepted.load(), 2);
  EXPECT_EQ(sim::Launches().size(), 2u);
  EXPECT_EQ(sim::ModuleLoadCount(L"C:\\Windows\\System32\\wintrust.dll"), 1);
  // A later launch uses the kept reading: it verifies the program only.
  CountVerifications();
  EXPECT_TRUE(Launch());
  sim::SetTraceSink(nullptr);
  EXPECT_EQ(service_verified_, 0);
  EXPECT_EQ(program_verified_, 1);
}

TEST_F(Launcher, ServiceDirectoryOfTheFullPathLimitStartsNothing) {
  // A directory whose program path needs 260 units cannot be built.
  const std::wstring deep = L"C:\\" + std::wstring(235, L'd');
  InstallService(deep + L"\\TarvexDPALLoader.exe", kPublisher);
  EXPECT_FALSE(Launch());
  // An image path of 260 units or more is refused before anything else.
  const std::wstring deeper = L"C:\\" + std::wstring(250, L'e');
  InstallService(deeper + L"\\TarvexDPALLoader.exe", kPublisher);
  EXPECT_FALSE(Launch());
  EXPECT_TRUE(sim::Launches().empty());
}

TEST_F(Launcher, ServiceDirectoryHasNoTrailingBackslash) {
  WCHAR directory[dpal::kPathUnits];
  ASSERT_TRUE(dpal::GetServiceDirectory(directory));
  EXPECT_EQ(std::wstring(directory), kDir);
}

// An attacker who can write the install directory tries, at every platform call the launch
// makes, to swap the program for an unsigned one: by writing into it, or by renaming it away
// and putting another file in its place. Whatever starts must be the signed bytes.
TEST_F(Launcher, SwappingTheFileDuringTheLaunchNeverStartsUnverifiedBytes) {
  const std::vector<uint8_t> evil = sim::ProgramBytes("evil");
  for (int attack = 0; attack < 2; ++attack) {
    for (uint64_t at = 1;; ++at) {
      sim::PutFile(kProgram, program_bytes_);
      sim::SignFile(kProgram, kPublisher);
      sim::RemoveFile(kProgram + L".old");
      started_bytes_.clear();
      std::atomic<uint64_t> calls{0};
      std::atomic<bool> struck{false};
      thread_local bool inside = false;
      sim::SetTraceSink([&](const sim::Call&) {
        if (inside || struck || ++calls != at) return;
        inside = true;
        struck = true;
        if (attack == 0) {
          HANDLE f =
              CreateFileW(kProgram.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, evil.data(), static_cast<DWORD>(evil.size()), &written, nullptr);
            CloseHandle(f);
          }
        } else if (MoveFileExW(kProgram.c_str(), (kProgram + L".old").c_str(), 0)) {
          HANDLE f = CreateFileW(kProgram.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
          if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, evil.data(), static_cast<DWORD>(evil.size()), &written, nullptr);
            CloseHandle(f);
          }
        }
        inside = false;
      });
      Launch();
      sim::SetTraceSink(nullptr);
      ASSERT_TRUE(sim::WaitForProcessesToEnd(10s));
      for (const auto& bytes : started_bytes_) {
        ASSERT_EQ(bytes, signed_bytes_) << "attack " << attack << " at call " << at;
      }
      if (!struck) break;  // the launch made fewer calls than `at`: every step was attacked
      ASSERT_LT(at, 500u);
    }
  }
}

TEST_F(Launcher, EveryFailingCallLeavesNothingBehind) {
  dpal::test::SweepOptions options;
  options.limit = 300;
  dpal::test::SweepFaults(
      [this] {
        const bool accepted = Launch();
        EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
        // Each run is the first launch of a service run, whose end takes back what it kept.
        dpal::ReleaseProcessTrustStateForTesting();
        return accepted;
      },
      [](bool accepted, uint64_t, bool faulted) {
        EXPECT_TRUE(accepted || faulted) << "the clean run launches";
      },
      options);
  EXPECT_TRUE(Launch()) << "and the launch still works afterwards";
}

}  // namespace

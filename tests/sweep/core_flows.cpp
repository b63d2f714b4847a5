// The call-site sweep's flows of the core library: each export on a freshly installed laptop,
// and the wait for the user's state with the stop that ends it from another thread.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "harness/registry_writer.h"
#include "tests/sweep/sweep.h"

namespace dpal::test::sweep {

namespace {

namespace layout = dpal::layout;

WCHAR g_buffer[64];

// An export whose 1 means its effect holds: a failed run may answer 0, never 1 without it.
Flow Export(const std::string& name, std::function<void()> setup, std::function<int()> run,
            std::function<bool()> effect, std::vector<DWORD> errors = kRegistryErrors) {
  return Flow{"DPALCore " + name,
              [setup] {
                NewLaptop();
                setup();
              },
              run,
              [effect](int result, bool faulted) {
                EXPECT_TRUE(result == 0 || result == 1) << result;
                EXPECT_TRUE(LocalSystemsOwnDefaultUntouched())
                    << "a user step landed on LocalSystem's own default";
                if (result == 1) {
                  EXPECT_TRUE(effect()) << "success reported without its effect";
                }
                if (!faulted) {
                  EXPECT_EQ(result, 1);
                }
              },
              errors,
              nullptr};
}

}  // namespace

std::vector<Flow> CoreFlows() {
  auto system = [] { AsLocalSystem(); };
  auto admin = [] { AsAdministrator(); };
  auto nothing = [] { return true; };
  std::vector<Flow> flows = {
      Export(
          "GetDefaultUserProfile", system,
          [] {
            g_buffer[0] = 0;
            return GetDefaultUserProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == UserDefault(); }),
      Export(
          "GetDefaultUserProfile (administrator)", admin,
          [] {
            g_buffer[0] = 0;
            return GetDefaultUserProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == UserDefault(); }),
      Export(
          "GetDefaultSystemProfile", system,
          [] {
            g_buffer[0] = 0;
            return GetDefaultSystemProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == MachineDefault(); }),
      Export(
          "SetDefaultColorProfileToPrimaryMonitor", system,
          [] { return SetDefaultColorProfileToPrimaryMonitor(1, kNew.c_str()); },
          [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }),
      Export(
          "SetDefaultColorProfileToPrimaryMonitor (administrator)", admin,
          [] { return SetDefaultColorProfileToPrimaryMonitor(1, kNew.c_str()); },
          [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }),
      Export(
          "DisassociateUserColorProfile",
          [] {
            AsLocalSystem();
            sim::SetColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false, {kBase});
          },
          [] { return DisassociateUserColorProfile(1, kBase.c_str()); },
          [] {
            auto list = sim::ColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false);
            return std::find(list.begin(), list.end(), kBase) == list.end();
          }),
      Export(
          "DisassociateSystemColorProfile",
          [] {
            AsLocalSystem();
            sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kBase});
          },
          [] { return DisassociateSystemColorProfile(1, kBase.c_str()); },
          [] {
            auto list = sim::ColourAssociations(L"", sim::kLaptopGpu, 0, false);
            return std::find(list.begin(), list.end(), kBase) == list.end();
          }),
      Export(
          "UninstallICCProfile", system, [] { return UninstallICCProfile(1, kNew.c_str()); },
          [] { return !sim::ColourProfileInstalled(kNew); }),
      Export(
          "SaveUserProfile", system, [] { return SaveUserProfile(L"QXLCD_Panel_V4_S"); }, nothing),
      Export(
          "IsSystemUser", system, [] { return IsSystemUser() != 0 ? 1 : 0; }, nothing),
  };
  // The apply state: 1 whatever the writes did for targets 1 and 3 (the clients rely on it), 0
  // writing nothing when a LocalSystem caller has no console hive it can load; target 2 answers
  // the user's write.
  auto states = [] {
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
    dpal::test::PutDword(HKEY_USERS, UserStateKey(), layout::kStateValue, 1);
    dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, 1);
  };
  flows.push_back(Flow{"DPALCore SaveCurrentApplyStatus (both)",
                       [states] {
                         NewLaptop();
                         states();
                         AsLocalSystem();
                       },
                       [] { return SaveCurrentApplyStatus(1, 0); },
                       [](int result, bool faulted) {
                         const DWORD machine =
                             ReadState(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey);
                         const DWORD user = ReadState(HKEY_USERS, UserStateKey());
                         EXPECT_TRUE(result == 0 || result == 1) << result;
                         if (result == 0) {
                           EXPECT_TRUE(machine == 1 && user == 1) << "0 writes nothing";
                         }
                         if (!faulted) {
                           EXPECT_EQ(result, 1);
                           EXPECT_TRUE(machine == 0 && user == 0);
                         }
                       },
                       kRegistryErrors, nullptr});
  flows.push_back(Export(
      "SaveCurrentApplyStatus (administrator, user only)",
      [states] {
        states();
        AsAdministrator();
      },
      [] { return SaveCurrentApplyStatus(2, 0); },
      [] { return ReadState(HKEY_CURRENT_USER, layout::kUserApplyStateKey) == 0; }));
  // An administrator is never taken for LocalSystem, whatever fails.
  flows.push_back(Flow{"DPALCore IsSystemUser (administrator)",
                       [] {
                         NewLaptop();
                         AsAdministrator();
                       },
                       [] { return IsSystemUser(); },
                       [](int result, bool) { EXPECT_EQ(result, 0); },
                       {ERROR_ACCESS_DENIED},
                       nullptr});
  return flows;
}

namespace {

// The wait for the user's state, ended by the stop from another thread, and the stop. The
// updater is made once per process and keeps its change event, so the laptop is not made anew
// for each run here.
struct WaitRun {
  std::atomic<bool> done{false};
  std::atomic<int> code{-1};
  std::unique_ptr<std::thread> thread;
};
WaitRun* g_wait = nullptr;

}  // namespace

Flow WaitFlow() {
  Flow flow;
  flow.name = "DPALCore WaitForUsrUpdate and StopWaitForUsrUpdate";
  flow.setup = [] {
    sim::SetProcessIdentity(sim::DefaultAdmin());
    dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, 1);
  };
  flow.run = [] {
    g_wait = new WaitRun();
    WaitRun* wait = g_wait;
    const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
    wait->thread = std::make_unique<std::thread>([wait] {
      wait->code = WaitForUsrUpdate();
      wait->done = true;
    });
    // The wait has begun (or ended already) before the stop is sent.
    Eventually([&] { return wait->done || sim::CallCount("WaitForMultipleObjects") > waits; });
    const int stopped = StopWaitForUsrUpdate();
    Eventually([&] { return wait->done.load(); }, 200ms);
    return stopped;
  };
  flow.check = [](int stopped, bool faulted) {
    EXPECT_EQ(stopped, 1) << "the stop always answers 1";
    // A stop that the platform could not deliver is sent again now that the calls succeed:
    // the wait must end then.
    if (!g_wait->done) {
      EXPECT_TRUE(faulted) << "the clean run's stop ended the wait";
      EXPECT_TRUE(Eventually([] {
        StopWaitForUsrUpdate();
        return g_wait->done.load();
      })) << "the wait never ended";
    }
    if (g_wait->done) {
      g_wait->thread->join();
      const int code = g_wait->code;
      EXPECT_TRUE(code >= 0 && code <= 3) << code;
      if (!faulted) {
        EXPECT_EQ(code, 0) << "a stop ends the wait quietly";
      }
    } else {
      g_wait->thread->detach();
    }
    delete g_wait;
    g_wait = nullptr;
  };
  flow.errors = kRegistryErrors;
  flow.kept = [](sim::LeakReport& report) {
    // The updater's change event lives as long as the process.
    if (report.open_handles["event"] <= 1) report.open_handles.erase("event");
  };
  return flow;
}

}  // namespace dpal::test::sweep

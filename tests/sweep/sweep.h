// The call-site sweep's shared pieces: what a flow is, the freshly installed laptop each run
// starts from, the identities a flow runs as, and the waits for effects that another thread
// brings about. Each program's flows are made in a file of their own (core_flows.cpp,
// tool_flows.cpp, service_flows.cpp, uninstaller_flows.cpp); call_site_sweep_test.cpp runs them
// all. Sim build only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/platform_test.h"
#include "harness/laptop.h"

namespace dpal::test::sweep {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr DWORD kStandard = sim::kStandardDisplayColourMode;
const std::wstring kPanel = sim::kPanelDeviceKey;
const std::wstring kBase = L"QXLCD_Panel_V3_S.icm";
const std::wstring kNew = L"QXLCD_Panel_V4_S.icm";

// How long one run may take before the sweep counts it as hung.
constexpr auto kRunLimit = 30s;
// How long an effect that another thread brings about may take.
constexpr auto kEffectLimit = 10s;

// Waits for a condition that another thread makes true; false when the time ran out.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = kEffectLimit) {
  const auto deadline = Clock::now() + limit;
  std::mutex lock;
  std::condition_variable never;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::unique_lock<std::mutex> guard(lock);
    never.wait_for(guard, 1ms);
  }
  return true;
}

// ----- The machine -----------------------------------------------------------------------------

std::wstring ConsoleUser();
std::wstring UserDefault();
// The user default was set for the account the caller's user step names: the console user's,
// also for a LocalSystem caller, which impersonates the console user for it; its own account's
// only for a LocalSystem caller that could not tell it is LocalSystem (a failed comparison of
// its SID, EqualSid, reads as "not equal") in the run under way.
bool UserDefaultIs(const std::wstring& name);
// LocalSystem's own user default is as the laptop was made (none), unless the run under way
// failed the comparison of the caller's SID: a user step never lands there otherwise, whatever
// else failed (an impersonation that failed must end the step).
bool LocalSystemsOwnDefaultUntouched();
std::wstring MachineDefault();

// A freshly installed laptop: the package as the installer leaves it, the stand-in per-user
// program, the default identity's user at the console, and two profiles of the panel with the
// first the default of the user and the machine.
void NewLaptop(dpal::laptop::Options options = dpal::laptop::Options());

// The calling thread as LocalSystem in the console session (the core library's client, the
// tool as the service runs it), or as the console's administrator.
void AsLocalSystem(const std::wstring& image = L"C:\\Program Files\\Client\\client.exe",
                   const std::wstring& arguments = L"");
void AsAdministrator(const std::wstring& image = L"C:\\Program Files\\Client\\client.exe",
                     const std::wstring& arguments = L"");

// The apply state's value under `key`, or 0xFFFFFFFF when it cannot be read.
DWORD ReadState(HKEY root, const std::wstring& key);
std::wstring UserStateKey();

// ----- The flows -------------------------------------------------------------------------------

// One flow: its set-up before each run (outside the faults), the run itself, and what must hold
// of its result: `faulted` is false for the clean run, which must succeed.
struct Flow {
  std::string name;
  std::function<void()> setup;
  std::function<int()> run;
  std::function<void(int result, bool faulted)> check;
  // Errors the flow tells apart, failed in the first pass besides ERROR_NOT_ENOUGH_MEMORY.
  std::vector<DWORD> errors;
  std::function<void(sim::LeakReport&)> kept;
};

extern const std::vector<DWORD> kRegistryErrors;

// What the sweep tells the flows' checks of the pass and the run under way: whether the faults
// of the pass stay, and the names of the calls that failed in the last run.
extern bool g_permanent;
extern std::set<std::string> g_failed_functions;

// The core library's exports, and its wait for the user's state with the stop that ends it.
std::vector<Flow> CoreFlows();
Flow WaitFlow();
// The profile tool in each of its modes.
std::vector<Flow> ToolFlows();
// The uninstaller's runs, as the installed program.
std::vector<Flow> UninstallerFlows();
// The service's start-up, logon, watch, user codes and stop.
std::vector<Flow> ServiceFlows();

}  // namespace dpal::test::sweep

// Measures the core library (figures for the README; nothing is asserted). In the sim:
//   - WaitForUsrUpdate: from the write of the user's "State" to the return of the wait, against
//     a bare RegNotifyChangeKeyValue wait in the same process (write to the wake of the waiter),
//     once on a worker thread that is then joined (what the export does inside: its floor) and
//     once on the caller's own thread;
//   - one GetDefaultSystemProfile with 1, 4 and 16 displays: the topology is read afresh on
//     every call, so its cost grows with the displays (time and platform calls per call).
// Under Wine (the windows build) only the wait, through the real DPALCore.dll loaded by name.
//
//   dpal-bench-core [--rounds N]          (sim)
//   core_bench.exe [--rounds N]           (windows, beside DPALCore.dll)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "platform/win32.h"

#if !defined(_WIN32)
#include "platform/sim/sim.h"
#include "harness/laptop.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace layout = dpal::layout;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  double median = 0;
  double p90 = 0;
};

Summary Summarise(std::vector<double> values) {
  Summary s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.median = values[values.size() / 2];
  s.p90 = values[std::min(values.size() - 1, values.size() * 9 / 10)];
  return s;
}

void PutState(DWORD value) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, layout::kUserApplyStateKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  RegSetValueExW(key, layout::kStateValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

// The exports, resolved by name (through the simulated loader in the sim).
struct Exports {
  decltype(&::WaitForUsrUpdate) wait = nullptr;
  decltype(&::GetDefaultSystemProfile) get_system = nullptr;
};

template <typename F>
F Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Waits (at most 10 s) until the waiter is armed: in the sim the platform call shows it; under
// Wine nothing outside shows it, so the bench gives the waiter a fixed 100 ms to arm, outside the
// time measured.
template <typename Armed>
void AwaitArming(Armed armed) {
#if !defined(_WIN32)
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!armed() && Clock::now() < deadline) std::this_thread::yield();
#else
  (void)armed;
  HANDLE pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(pause, 100);
  CloseHandle(pause);
#endif
}

// A waiter has armed its notification once it has gone on to wait (a call is counted as it
// begins, so the arming call itself does not show it is done).
uint64_t Waits() {
#if !defined(_WIN32)
  return sim::CallCount("WaitForMultipleObjects") + sim::CallCount("WaitForSingleObject");
#else
  return 0;
#endif
}

Summary MeasureLibraryWait(const Exports& dll, int rounds) {
  std::vector<double> samples;
  DWORD value = 0;
  PutState(value);
  for (int i = 0; i < rounds; ++i) {
    std::atomic<bool> done{false};
    Clock::time_point returned;
    const uint64_t before = Waits();
    std::thread waiter([&] {
      dll.wait();
      returned = Clock::now();
      done = true;
    });
    AwaitArming([&] { return Waits() > before; });
    value = 1 - value;
    const Clock::time_point written = Clock::now();
    PutState(value);
    waiter.join();
    samples.push_back(Micros(returned - written));
  }
  return Summarise(samples);
}

// A bare RegNotifyChangeKeyValue wait, from the write to the return of the waiter: on a worker
// thread that is then joined (the export's own work, without the export), or on the caller's
// own thread, the write made by a thread started once the wait is armed.
Summary MeasureBareWait(int rounds, bool on_worker) {
  std::vector<double> samples;
  DWORD value = 0;
  PutState(value);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (int i = 0; i < rounds; ++i) {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, layout::kUserApplyStateKey, 0, KEY_READ, &key);
    value = 1 - value;
    Clock::time_point written;
    Clock::time_point returned;
    if (on_worker) {
      const uint64_t before = Waits();
      std::thread waiter([&] {
        RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
        WaitForSingleObject(event, INFINITE);
      });
      AwaitArming([&] { return Waits() > before; });
      written = Clock::now();
      PutState(value);
      waiter.join();
      returned = Clock::now();
    } else {
      RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
      std::thread writer([&] {
        written = Clock::now();
        PutState(value);
      });
      WaitForSingleObject(event, INFINITE);
      returned = Clock::now();
      writer.join();
    }
    RegCloseKey(key);
    samples.push_back(Micros(returned - written));
  }
  CloseHandle(event);
  return Summarise(samples);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
#if !defined(_WIN32)
  sim::Reset();
  dpal::laptop::RegisterCoreLibrary();
  HMODULE module = LoadLibraryExW(dpal::laptop::kCoreLibrary.c_str(), nullptr, 0);
  const char* where = "sim";
#else
  HMODULE module = LoadLibraryW(L"DPALCore.dll");
  const char* where = "Wine";
  rounds = std::min(rounds, 40);
#endif
  if (module == nullptr) {
    std::printf("DPALCore.dll does not load\n");
    return 1;
  }
  Exports dll;
  dll.wait = Resolve<decltype(dll.wait)>(module, "WaitForUsrUpdate");
  dll.get_system = Resolve<decltype(dll.get_system)>(module, "GetDefaultSystemProfile");

  const Summary library = MeasureLibraryWait(dll, rounds);
  const Summary bare = MeasureBareWait(rounds, true);
  const Summary bare_caller = MeasureBareWait(rounds, false);
  std::printf("%s, %d rounds: write of the user's State to the return of the wait\n", where,
              rounds);
  std::printf("  WaitForUsrUpdate                          median %8.1f us   p90 %8.1f us\n",
              library.median, library.p90);
  std::printf(
      "  bare wait on a worker thread, then joined median %8.1f us   p90 %8.1f us"
      "   (ratio %.2f)\n",
      bare.median, bare.p90, bare.median > 0 ? library.median / bare.median : 0.0);
  std::printf(
      "  bare wait on the caller's thread          median %8.1f us   p90 %8.1f us"
      "   (ratio %.2f)\n",
      bare_caller.median, bare_caller.p90,
      bare_caller.median > 0 ? library.median / bare_caller.median : 0.0);

#if !defined(_WIN32)
  std::printf("sim: one GetDefaultSystemProfile, the topology read afresh each time\n");
  for (int displays : {1, 4, 16}) {
    sim::SetDisplays(sim::DesktopDisplays(displays));
    sim::InstallColourProfile(L"bench.icm");
    const sim::DisplayTopology topology = sim::Displays();
    sim::SetDefaultColourProfile(L"", topology.adapters[0].monitors[0].device_key,
                                 sim::kStandardDisplayColourMode, 1, L"bench.icm");
    WCHAR name[MAX_PATH];
    std::vector<double> samples;
    sim::ClearTrace();
    const int calls = 2000;
    for (int i = 0; i < calls; ++i) {
      const Clock::time_point start = Clock::now();
      const int result = dll.get_system(1, MAX_PATH, name);
      samples.push_back(Micros(Clock::now() - start));
      if (result != 1) {
        std::printf("GetDefaultSystemProfile failed with %d displays\n", displays);
        return 1;
      }
    }
    const Summary s = Summarise(samples);
    std::printf("  %2d display(s): median %7.1f us   p90 %7.1f us   %5.1f platform calls a call\n",
                displays, s.median, s.p90, static_cast<double>(sim::CallCount()) / calls);
  }
#endif
  FreeLibrary(module);
  return 0;
}

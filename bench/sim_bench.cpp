// Measures the service on the simulated laptop (figures for the README; nothing is asserted):
//   - reaction time from the write of the machine apply state to the launch of the per-user
//     program, against the time the launch itself takes when called directly;
//   - idle cost: platform calls and CPU time of the running service over a quiet period.
//
//   dpal-bench-sim [--idle-seconds N] [--rounds N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "loader/launcher.h"
#include "loader/service_host.h"
#include "platform/sim/sim.h"
#include "harness/registry_writer.h"
#include "harness/laptop.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace laptop = dpal::laptop;

std::mutex g_lock;
Clock::time_point g_launched;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void WriteState(DWORD value) {
  dpal::test::WriterFor(HKEY_LOCAL_MACHINE, dpal::layout::kMachineApplyStateKey)
      .Dword(dpal::layout::kStateValue, value);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int idle_seconds = 30;
  int rounds = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--idle-seconds") == 0) idle_seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }

  sim::Reset();
  laptop::Options options;
  options.install_pending = false;
  laptop::Provision(options);
  sim::RegisterProgram(laptop::kProfileProgram, [](const sim::Launch&) -> DWORD {
    std::lock_guard<std::mutex> guard(g_lock);
    g_launched = Clock::now();
    return 0;
  });
  WriteState(0);
  sim::StartServiceAsScm(laptop::kServiceName);
  sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, std::chrono::seconds(10));
  sim::WaitForProcessesToEnd(std::chrono::seconds(10));

  // Reaction: write, then wait for the launch the write causes.
  std::vector<double> reaction_us;
  for (int round = 0; round < rounds; ++round) {
    const size_t before = sim::Launches().size();
    const auto written = Clock::now();
    WriteState(static_cast<DWORD>((round + 1) % 2));
    sim::WaitForLaunches(before + 1, std::chrono::seconds(10));
    sim::WaitForProcessesToEnd(std::chrono::seconds(10));
    std::lock_guard<std::mutex> guard(g_lock);
    reaction_us.push_back(std::chrono::duration<double, std::micro>(g_launched - written).count());
  }
  // The launch alone: the same launcher called directly from this thread.
  std::vector<double> direct_us;
  for (int round = 0; round < rounds; ++round) {
    const auto called = Clock::now();
    dpal::ProfileProgramLauncher launcher;
    launcher.LaunchProfileProgram(dpal::kSwitchSetState);
    std::lock_guard<std::mutex> guard(g_lock);
    direct_us.push_back(std::chrono::duration<double, std::micro>(g_launched - called).count());
  }
  const double reaction = Median(reaction_us);
  const double direct = Median(direct_us);
  std::printf("reaction (sim): state write -> launch  median %.1f us over %d writes\n", reaction,
              rounds);
  std::printf("launch alone (sim):                    median %.1f us; ratio %.2f\n", direct,
              direct > 0 ? reaction / direct : 0.0);

  // Idle: nothing happens; count what the service does.
  sim::WaitForProcessesToEnd(std::chrono::seconds(10));
  sim::ClearTrace();
  const double cpu_before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));  // a measurement, not a test
  const double cpu = CpuSeconds() - cpu_before;
  std::printf("idle (sim): %llu platform calls, %.3f s CPU over %d s\n",
              static_cast<unsigned long long>(sim::CallCount()), cpu, idle_seconds);

  sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP);
  sim::WaitForServiceProcessExit(laptop::kServiceName, std::chrono::seconds(10));
  return 0;
}

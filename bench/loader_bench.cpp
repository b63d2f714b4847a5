// loader_bench.exe: figures for the service under Wine, measured from outside (not a test; it
// asserts nothing). Run by bench/run-loader-bench in a prefix of its own.
//
//   loader_bench.exe [--iterations N] [--hold-dir DIR]
//
// 1. Installs the package on a qualifying machine (the timing stand-in as the per-user program)
//    and an empty service, starts both and prints their memory counters. With --hold-dir it then
//    writes DIR\ready (the two process ids) and waits for DIR\done, so that the caller can read
//    the processes from the host side meanwhile.
// 2. Reaction time: N times, writes the machine apply state (alternately 1 and 0) and takes the
//    time from just before the write to the stand-in's entry (its own precise clock reading), and
//    to its process creation time.
// 3. The same stand-in started N times by a bare CreateProcessW, timed the same way.
// 4. The service's memory counters again, after the launches.
// Output: "key=value" lines.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/installed_package.h"

#include <psapi.h>  // after the Windows declarations it needs

using namespace dpal::e2e;
using namespace std::chrono_literals;

namespace {

constexpr WCHAR kEmptyService[] = L"DPALEmptyService";

ULONGLONG PreciseNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void Fail(const std::string& what) {
  std::printf("error=%s\n", what.c_str());
  std::fflush(stdout);
  ResetMachine();
  RemoveService(kEmptyService);
  std::exit(1);
}

void Check(const std::string& error) {
  if (!error.empty()) Fail(error);
}

std::wstring TimesFile() { return InstallDirectory() + L"\\TarvexDPALProfile.times"; }

struct Launch {
  ULONGLONG entry = 0;
  ULONGLONG created = 0;
};

std::vector<Launch> ReadLaunches() {
  std::ifstream in(Narrow(TimesFile()));
  std::vector<Launch> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string switch_text;
    Launch launch;
    if (fields >> switch_text >> launch.entry >> launch.created) out.push_back(launch);
  }
  return out;
}

bool WaitForLaunches(size_t count, std::vector<Launch>* launches) {
  const auto end = Clock::now() + 20s;
  for (;;) {
    *launches = ReadLaunches();
    if (launches->size() >= count) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
}

void PrintStats(const std::string& name, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
  const double median =
      ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
  std::printf("%s_ms=min %.2f median %.2f mean %.2f max %.2f (n=%zu)\n", name.c_str(), ms.front(),
              median, mean, ms.back(), ms.size());
}

// Milliseconds from a start to the stand-in's entry and to its process creation.
struct LaunchTimes {
  std::vector<double> entry, creation;

  void Add(const Launch& launch, ULONGLONG start) {
    entry.push_back((static_cast<double>(launch.entry) - static_cast<double>(start)) / 1e4);
    creation.push_back((static_cast<double>(launch.created) - static_cast<double>(start)) / 1e4);
  }
  void Print(const std::string& name) const {
    PrintStats(name + "_to_program_entry", entry);
    PrintStats(name + "_to_process_creation", creation);
  }
};

void PrintMemory(const std::string& name, DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    std::printf("%s_memory=error %lu\n", name.c_str(), GetLastError());
    return;
  }
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    std::printf(
        "%s_pid=%lu\n%s_private_usage_kib=%zu\n%s_working_set_kib=%zu\n"
        "%s_peak_working_set_kib=%zu\n%s_pagefile_usage_kib=%zu\n",
        name.c_str(), pid, name.c_str(), counters.PrivateUsage / 1024, name.c_str(),
        counters.WorkingSetSize / 1024, name.c_str(), counters.PeakWorkingSetSize / 1024,
        name.c_str(), counters.PagefileUsage / 1024);
  } else {
    std::printf("%s_memory=error %lu\n", name.c_str(), GetLastError());
  }
  CloseHandle(process);
}

DWORD StartAndWait(Service& service) {
  Check(service.error());
  Check(service.Start());
  SERVICE_STATUS_PROCESS running = {};
  if (!service.WaitForState(SERVICE_RUNNING, 20s, nullptr, &running)) Fail("no RUNNING");
  return running.dwProcessId;
}

void StopAndWait(Service& service) {
  Check(service.Control(SERVICE_CONTROL_STOP));
  if (!service.WaitForState(SERVICE_STOPPED, 20s)) Fail("no STOPPED");
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 20;
  std::wstring hold_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--iterations") iterations = std::atoi(argv[i + 1]);
    if (option == "--hold-dir") hold_dir = WindowsPath(argv[i + 1]);
  }

  Check(ResetMachine());
  Check(RemoveService(kEmptyService));
  Check(InstallFiles(WindowsPath(DPAL_LOADER_IMAGE), WindowsPath(DPAL_BENCH_STANDIN)));
  const std::wstring empty_image = InstallDirectory() + L"\\DPALEmptyService.exe";
  if (!CopyFileW(WindowsPath(DPAL_EMPTY_SERVICE).c_str(), empty_image.c_str(), FALSE)) {
    Fail("copying the empty service");
  }
  Check(TrustRoot(WindowsPath(DPAL_SIGNING_DIR) + L"\\publisher-root.der"));
  Check(PrepareQualifyingMachine());
  Check(WriteMachineApplyState(0));
  Check(RegisterService(SERVICE_AUTO_START));
  Check(RegisterService(SERVICE_DEMAND_START, empty_image, kEmptyService));

  {
    Service loader;
    Service empty(kEmptyService);
    const DWORD loader_pid = StartAndWait(loader);
    // As in the tests: a service still running well after RUNNING has started its watch.
    if (loader.WaitForState(SERVICE_STOPPED, 1500ms)) Fail("the service stopped");
    const DWORD empty_pid = StartAndWait(empty);
    std::this_thread::sleep_for(500ms);  // let both settle before reading their memory
    PrintMemory("loader", loader_pid);
    PrintMemory("empty_service", empty_pid);
    std::fflush(stdout);

    if (!hold_dir.empty()) {
      {
        std::ofstream ready(Narrow(hold_dir + L"\\ready.tmp"));
        ready << "loader_pid=" << loader_pid << "\nempty_pid=" << empty_pid << "\n";
      }
      MoveFileExW((hold_dir + L"\\ready.tmp").c_str(), (hold_dir + L"\\ready").c_str(),
                  MOVEFILE_REPLACE_EXISTING);
      const auto end = Clock::now() + 60s;
      while (GetFileAttributesW((hold_dir + L"\\done").c_str()) == INVALID_FILE_ATTRIBUTES &&
             Clock::now() < end) {
        std::this_thread::sleep_for(20ms);
      }
    }

    // Reaction of the running service to a change of the apply state.
    LaunchTimes service_times;
    std::vector<Launch> launches;
    for (int i = 1; i <= iterations; ++i) {
      const ULONGLONG written = PreciseNow();
      Check(WriteMachineApplyState(i % 2));
      if (!WaitForLaunches(static_cast<size_t>(i), &launches)) Fail("no launch after a write");
      service_times.Add(launches.back(), written);
      // The watch waits for the program to end before it looks again; leave it that time.
      std::this_thread::sleep_for(100ms);
    }
    service_times.Print("service_write");

    // The same program started by a bare CreateProcessW from here.
    LaunchTimes bare_times;
    std::vector<double> bare_exit;
    const size_t before = ReadLaunches().size();
    for (int i = 1; i <= iterations; ++i) {
      std::wstring command = InstalledProfileProgram() + L" /ss";
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION created = {};
      const ULONGLONG started = PreciseNow();
      const auto started_clock = Clock::now();
      if (!CreateProcessW(InstalledProfileProgram().c_str(), command.data(), nullptr, nullptr,
                          FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, InstallDirectory().c_str(),
                          &startup, &created)) {
        Fail("CreateProcessW");
      }
      WaitForSingleObject(created.hProcess, INFINITE);
      bare_exit.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - started_clock).count());
      CloseHandle(created.hProcess);
      CloseHandle(created.hThread);
      if (!WaitForLaunches(before + static_cast<size_t>(i), &launches)) Fail("no bare launch");
      bare_times.Add(launches.back(), started);
      std::this_thread::sleep_for(100ms);
    }
    bare_times.Print("bare_createprocess");
    PrintStats("bare_createprocess_to_exit", bare_exit);

    PrintMemory("loader_after_launches", loader_pid);
    StopAndWait(loader);
    StopAndWait(empty);
  }
  Check(RemoveService(kEmptyService));
  Check(ResetMachine());
  std::fflush(stdout);
  return 0;
}

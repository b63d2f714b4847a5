// loader_bench.exe: figures for the service under Wine, measured from outside (not a test; it
// asserts nothing). Run by bench/run-loader-bench in a prefix of its own.
//
//   loader_bench.exe [--iterations N] [--hold-dir DIR]
//
// 1. Installs the package on a qualifying machine (the timing stand-in as the per-user program)
//    and three empty services (bench/empty_service.cpp: bare; importing the service's DLLs; and
//    with its idle threads too), starts all four and prints their memory counters. With
//    --hold-dir it then writes DIR\ready (the process ids) and waits for DIR\done, so that the
//    caller can read the processes from the host side meanwhile.
// 2. Reaction time, as N + 1 interleaved pairs (a drift in the machine's load falls on both
//    halves): the write of the machine apply state (alternately 1 and 0) to the stand-in's entry
//    (its own precise clock reading) and to its process creation, then the same stand-in started
//    by a bare CreateProcessW, timed the same way. The first pair, the service's first launch
//    after its start, is reported apart from the other N.
// 3. The integrity check's share of a launch, in this process (signed like the package, its own
//    image standing for the service's): the first check (the trust libraries loaded, the own
//    signer read), the later ones (the program file only), and a check that reads the service
//    image's signer afresh each time, as every launch did before the own signer was kept.
// 4. The service's memory counters again, after the launches (and a second hold: DIR\ready2,
//    DIR\done2).
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
#include "loader/integrity.h"

#include <psapi.h>  // after the Windows declarations it needs

using namespace dpal::e2e;
using namespace std::chrono_literals;

namespace {

// The empty services: name (also the file name, with ".exe") and the image built by the bench.
struct EmptyService {
  const WCHAR* name;
  const char* built;
  const char* key;  // its name in the output
};
const EmptyService kEmptyServices[] = {
    {L"DPALEmptyService", DPAL_EMPTY_SERVICE, "empty_service"},
    {L"DPALEmptyImports", DPAL_EMPTY_IMPORTS, "empty_imports"},
    {L"DPALEmptyLikeService", DPAL_EMPTY_LIKE_SERVICE, "empty_like_service"},
};

void RemoveEmptyServices() {
  for (const EmptyService& empty : kEmptyServices) RemoveService(empty.name);
}

ULONGLONG PreciseNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void Fail(const std::string& what) {
  std::printf("error=%s\n", what.c_str());
  std::fflush(stdout);
  ResetMachine();
  RemoveEmptyServices();
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

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
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

// Holds until the caller has read the processes: writes DIR\<name> and waits for DIR\<done>.
void Hold(const std::wstring& hold_dir, const std::wstring& name, const std::wstring& done,
          const std::string& content) {
  if (hold_dir.empty()) return;
  {
    std::ofstream ready(Narrow(hold_dir + L"\\" + name + L".tmp"));
    ready << content;
  }
  MoveFileExW((hold_dir + L"\\" + name + L".tmp").c_str(), (hold_dir + L"\\" + name).c_str(),
              MOVEFILE_REPLACE_EXISTING);
  const auto end = Clock::now() + 60s;
  while (GetFileAttributesW((hold_dir + L"\\" + done).c_str()) == INVALID_FILE_ATTRIBUTES &&
         Clock::now() < end) {
    std::this_thread::sleep_for(20ms);
  }
}

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The integrity check run here, `count` times after a first one.
void MeasureIntegrityCheck(int count) {
  const std::wstring program = InstalledProfileProgram();
  const std::wstring service = InstalledImage();
  std::vector<double> kept, afresh;
  auto time_check = [&](bool against_service) {
    dpal::VerifiedProgram verified;
    const auto start = Clock::now();
    const bool passed =
        against_service ? dpal::VerifyProgramFileAgainst(program.c_str(), service.c_str(), verified)
                        : dpal::VerifyProgramFile(program.c_str(), verified);
    const double ms = Milliseconds(Clock::now() - start);
    if (!passed) Fail(against_service ? "the check against the service image" : "the check");
    return ms;
  };
  std::printf("integrity_first_ms=%.2f\n", time_check(false));
  for (int i = 0; i < count; ++i) {
    kept.push_back(time_check(false));
    afresh.push_back(time_check(true));
  }
  PrintStats("integrity_later", kept);
  PrintStats("integrity_service_image_read_afresh", afresh);
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
  RemoveEmptyServices();
  Check(InstallFiles(WindowsPath(DPAL_LOADER_IMAGE), WindowsPath(DPAL_BENCH_STANDIN)));
  for (const EmptyService& empty : kEmptyServices) {
    const std::wstring image = InstallDirectory() + L"\\" + empty.name + L".exe";
    if (!CopyFileW(WindowsPath(empty.built).c_str(), image.c_str(), FALSE)) {
      Fail("copying an empty service");
    }
    Check(RegisterService(SERVICE_DEMAND_START, image, empty.name));
  }
  Check(TrustRoot(WindowsPath(DPAL_SIGNING_DIR) + L"\\publisher-root.der"));
  Check(PrepareQualifyingMachine());
  Check(WriteMachineApplyState(0));
  Check(RegisterService(SERVICE_AUTO_START));

  {
    Service loader;
    const DWORD loader_pid = StartAndWait(loader);
    // As in the tests: a service still running well after RUNNING has started its watch.
    if (loader.WaitForState(SERVICE_STOPPED, 1500ms)) Fail("the service stopped");
    std::vector<Service> empties;
    empties.reserve(std::size(kEmptyServices));
    std::string pids = "loader_pid=" + std::to_string(loader_pid) + "\n";
    std::vector<DWORD> empty_pids;
    for (const EmptyService& empty : kEmptyServices) {
      empties.emplace_back(empty.name);
      empty_pids.push_back(StartAndWait(empties.back()));
      pids += std::string(empty.key) + "_pid=" + std::to_string(empty_pids.back()) + "\n";
    }
    std::this_thread::sleep_for(500ms);  // let them settle before reading their memory
    PrintMemory("loader", loader_pid);
    for (size_t i = 0; i < empty_pids.size(); ++i)
      PrintMemory(kEmptyServices[i].key, empty_pids[i]);
    std::fflush(stdout);
    Hold(hold_dir, L"ready", L"done", pids);

    // Interleaved pairs: the service's launch after a write, then a bare launch.
    LaunchTimes service_first, service_times, bare_first, bare_times;
    std::vector<double> pair_ratio;
    std::vector<Launch> launches;
    for (int i = 0; i <= iterations; ++i) {
      const ULONGLONG written = PreciseNow();
      Check(WriteMachineApplyState((i + 1) % 2));
      if (!WaitForLaunches(2 * static_cast<size_t>(i) + 1, &launches)) {
        Fail("no launch after a write");
      }
      (i == 0 ? service_first : service_times).Add(launches.back(), written);
      // The watch waits for the program to end before it looks again; leave it that time.
      std::this_thread::sleep_for(100ms);

      std::wstring command = InstalledProfileProgram() + L" /ss";
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION created = {};
      const ULONGLONG started = PreciseNow();
      if (!CreateProcessW(InstalledProfileProgram().c_str(), command.data(), nullptr, nullptr,
                          FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, InstallDirectory().c_str(),
                          &startup, &created)) {
        Fail("CreateProcessW");
      }
      WaitForSingleObject(created.hProcess, INFINITE);
      CloseHandle(created.hProcess);
      CloseHandle(created.hThread);
      if (!WaitForLaunches(2 * static_cast<size_t>(i) + 2, &launches)) Fail("no bare launch");
      (i == 0 ? bare_first : bare_times).Add(launches.back(), started);
      if (i > 0) pair_ratio.push_back(service_times.entry.back() / bare_times.entry.back());
      std::this_thread::sleep_for(100ms);
    }
    service_first.Print("first_service_write");
    bare_first.Print("first_bare_createprocess");
    service_times.Print("service_write");
    bare_times.Print("bare_createprocess");
    PrintStats("pair_ratio_entry", pair_ratio);
    const double bare_median = Median(bare_times.entry);
    if (bare_median > 0) {
      std::printf("ratio_of_medians_entry=%.2f\n", Median(service_times.entry) / bare_median);
    }

    PrintMemory("loader_after_launches", loader_pid);
    std::fflush(stdout);
    Hold(hold_dir, L"ready2", L"done2", pids);

    MeasureIntegrityCheck(iterations);

    StopAndWait(loader);
    for (Service& empty : empties) StopAndWait(empty);
  }
  RemoveEmptyServices();
  Check(ResetMachine());
  std::fflush(stdout);
  return 0;
}

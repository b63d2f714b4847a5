// The wait for the user's apply state: every outcome, the stop, and the races between a stop and
// the end of a wait and between two waits that start together, run thousands of times (the
// sim-tsan preset checks them for data races). Waits for effects have deadlines; nothing sleeps.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <vector>
#include <string>
#include <thread>

#include "common/registry_layout.h"
#include "core/updater.h"
#include "tests/support/platform_test.h"

namespace {

using namespace dpal::core;
namespace layout = dpal::layout;
using dpal::test::PlatformTest;
using namespace std::chrono_literals;

constexpr int kRounds = 2000;

template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void PutState(DWORD value) {
  dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, value);
}

// One wait on a thread of its own, as the client runs it.
class Waiter {
 public:
  Waiter()
      : thread_([this] {
          code_ = WaitForUsrUpdate();
          done_ = true;
        }) {}
  ~Waiter() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }
  // The outcome code, once the wait has returned (-1 when it did not within the deadline).
  int Code() {
    if (!Eventually([this] { return done_.load(); })) return -1;
    thread_.join();
    return code_;
  }

 private:
  std::atomic<int> code_{-1};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class Updater : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // Each test is a client process of its own, which begins without an updater.
    dpal::core::ForgetUpdaterForTesting();
    SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
  }
  void TearDown() override {
    SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
    // The updater keeps its change event for the life of the process; nothing else may stay.
    sim::LeakReport leaks = sim::Leaks();
    EXPECT_LE(leaks.open_handles["event"], 1) << leaks.Describe();
    leaks.open_handles["event"] = 0;
    EXPECT_TRUE(leaks.Clean()) << leaks.Describe();
    EXPECT_FALSE(dpal::core::Updater().IsWaitingForTesting());
    KeepLeaksOnPurpose();
    PlatformTest::TearDown();
  }

  // Starts a wait and returns once its notification is armed: the worker has gone on to its
  // wait (a call is counted as it begins, so the arming call itself does not show it is done).
  std::unique_ptr<Waiter> ArmedWait() {
    const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
    auto waiter = std::make_unique<Waiter>();
    EXPECT_TRUE(Eventually([&] { return sim::CallCount("WaitForMultipleObjects") > waits; }))
        << "the wait armed its notification";
    return waiter;
  }
  // Whether the wait's worker ends up blocked in its wait for the change or the stop, rather
  // than ending: it is blocked only while neither event is signalled.
  static bool WorkerBlocks(const Waiter& waiter) {
    const auto blocked = [] {
      for (const sim::BlockedThread& thread : sim::BlockedThreads()) {
        if (thread.function == "WaitForMultipleObjects" && thread.objects.size() == 2) return true;
      }
      return false;
    };
    EXPECT_TRUE(Eventually([&] { return waiter.done() || blocked(); }));
    return !waiter.done() && blocked();
  }
  static void WaitUntilWaiting() {
    EXPECT_TRUE(Eventually([] { return dpal::core::Updater().IsWaitingForTesting(); }));
  }
};

TEST_F(Updater, ChangesOfTheUsersStateAreReportedByTheirNewValue) {
  struct Row {
    DWORD from;
    DWORD to;
    int code;
  };
  for (const Row row : {Row{0, 1, kChangedToOn}, Row{1, 0, kChangedToOff}, Row{5, 0, kChangedToOff},
                        Row{1, 5, kWaitEndedQuietly}}) {
    PutState(row.from);
    auto waiter = ArmedWait();
    PutState(row.to);
    EXPECT_EQ(waiter->Code(), row.code) << row.from << " -> " << row.to;
  }
}

TEST_F(Updater, RewritingTheSameValueEndsTheWaitWithoutAChange) {
  // A write is a change notification whatever its data: the re-read finds the start value, and
  // the wait ends with no reportable change. The client's next wait sees the real change.
  PutState(1);
  auto waiter = ArmedWait();
  PutState(1);
  EXPECT_EQ(waiter->Code(), kWaitEndedQuietly);
  auto next = ArmedWait();
  PutState(0);
  EXPECT_EQ(next->Code(), kChangedToOff);
}

TEST_F(Updater, WithoutAStateTheWaitEndsAtOnceAndTheNextCanWait) {
  EXPECT_EQ(WaitForUsrUpdate(), kStartReadFailed);
  dpal::test::PutString(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, L"1");
  EXPECT_EQ(WaitForUsrUpdate(), kStartReadFailed) << "a State of another type is no State";
  PutState(0);
  auto waiter = ArmedWait();
  PutState(1);
  EXPECT_EQ(waiter->Code(), kChangedToOn);
}

TEST_F(Updater, AnotherValueOfTheKeyEndsTheWaitQuietly) {
  PutState(1);
  auto waiter = ArmedWait();
  dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, L"Other", 3);
  EXPECT_EQ(waiter->Code(), kWaitEndedQuietly);
}

TEST_F(Updater, OnlyTheStateKeysOwnValuesWakeTheWait) {
  // The watch covers the key's values, not its subkeys or their values, and not names.
  PutState(1);
  Waiter waiter;
  ASSERT_TRUE(WorkerBlocks(waiter));
  const std::wstring child = std::wstring(layout::kUserApplyStateKey) + L"\\Child";
  dpal::test::PutDword(HKEY_CURRENT_USER, child.c_str(), layout::kStateValue, 0);
  EXPECT_TRUE(WorkerBlocks(waiter)) << "a new subkey and a value below the key wake nothing";
  ASSERT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, child.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(WorkerBlocks(waiter)) << "a deleted subkey wakes nothing";
  PutState(0);
  EXPECT_EQ(waiter.Code(), kChangedToOff);
}

TEST_F(Updater, StopEndsAWaitAndIsNotRememberedWhileIdle) {
  EXPECT_EQ(StopWaitForUsrUpdate(), 1) << "idle: nothing to stop";
  PutState(0);
  auto waiter = ArmedWait();
  EXPECT_EQ(StopWaitForUsrUpdate(), 1);
  EXPECT_EQ(waiter->Code(), kWaitEndedQuietly);
  EXPECT_EQ(StopWaitForUsrUpdate(), 1);
  EXPECT_EQ(StopWaitForUsrUpdate(), 1);
  // The stops while idle are forgotten: this wait runs until the change.
  auto next = ArmedWait();
  EXPECT_FALSE(next->done());
  PutState(1);
  EXPECT_EQ(next->Code(), kChangedToOn);
}

TEST_F(Updater, ChangeWhileNoWaitRunsIsTheNextWaitsStartingPoint) {
  PutState(0);
  auto stopped = ArmedWait();
  StopWaitForUsrUpdate();
  EXPECT_EQ(stopped->Code(), kWaitEndedQuietly);
  PutState(1);  // not seen by the stopped wait
  auto next = ArmedWait();
  PutState(0);
  EXPECT_EQ(next->Code(), kChangedToOff) << "the next wait started from 1";
}

TEST_F(Updater, ASignalLeftByAStoppedWaitIsNoChangeForAWaitWithoutItsKey) {
  // The stopped wait closes its armed key, which signals the change event, and nothing consumes
  // that signal. The next wait cannot open the key, so it arms nothing that would clear it: it
  // must not take the signal for a change, and waits for the stop alone.
  PutState(0);
  auto stopped = ArmedWait();
  StopWaitForUsrUpdate();
  ASSERT_EQ(stopped->Code(), kWaitEndedQuietly);
  sim::FailIf(
      "RegOpenKeyExW",
      [](const sim::Call& call) { return call.args.find(L"State") != std::wstring::npos; },
      ERROR_ACCESS_DENIED);
  Waiter unarmed;
  EXPECT_TRUE(WorkerBlocks(unarmed)) << "the wait did not end by itself";
  StopWaitForUsrUpdate();
  EXPECT_EQ(unarmed.Code(), kWaitEndedQuietly);
}

TEST_F(Updater, SecondWaitWhileOneRunsIsRefusedAtOnce) {
  PutState(0);
  auto first = ArmedWait();
  EXPECT_EQ(WaitForUsrUpdate(), kWaitEndedQuietly);
  EXPECT_FALSE(first->done()) << "the first wait goes on";
  PutState(1);
  EXPECT_EQ(first->Code(), kChangedToOn);
}

TEST_F(Updater, FailuresEndTheWaitQuietly) {
  PutState(0);
  // The key cannot be opened: nothing is armed, and only the stop ends the wait (an armed wait
  // would report the change to 1).
  sim::FailIf(
      "RegOpenKeyExW",
      [](const sim::Call& call) { return call.args.find(L"State") != std::wstring::npos; },
      ERROR_ACCESS_DENIED);
  const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
  {
    Waiter unarmed;
    ASSERT_TRUE(Eventually([&] { return sim::CallCount("WaitForMultipleObjects") > waits; }));
    PutState(1);
    StopWaitForUsrUpdate();
    EXPECT_EQ(unarmed.Code(), kWaitEndedQuietly);
  }
  EXPECT_EQ(sim::CallCount("RegNotifyChangeKeyValue"), 0u);
  sim::ClearFaults();

  sim::FailAlways("RegNotifyChangeKeyValue", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WaitForUsrUpdate(), kWaitEndedQuietly) << "arming failed";
  sim::ClearFaults();
  sim::FailAlways("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForUsrUpdate(), kWaitEndedQuietly) << "the wait failed";
  sim::ClearFaults();
  // The re-read after the notification fails.
  auto waiter = ArmedWait();
  sim::FailAlways("RegGetValueW", ERROR_ACCESS_DENIED);
  PutState(0);
  EXPECT_EQ(waiter->Code(), kWaitEndedQuietly);
  sim::ClearFaults();
  // Without the key, a signal that the last wait's key left cannot be cleared: waiting would
  // take it for a change, so the wait ends at once.
  PutState(0);
  sim::FailIf(
      "RegOpenKeyExW",
      [](const sim::Call& call) { return call.args.find(L"State") != std::wstring::npos; },
      ERROR_ACCESS_DENIED);
  sim::FailAlways("ResetEvent", ERROR_INVALID_HANDLE);
  const uint64_t before = sim::CallCount("WaitForMultipleObjects");
  EXPECT_EQ(WaitForUsrUpdate(), kWaitEndedQuietly);
  EXPECT_EQ(sim::CallCount("WaitForMultipleObjects"), before) << "no wait";
}

TEST_F(Updater, EveryFailingCallEndsTheWaitWithoutLeavingAnything) {
  DWORD value = 0;
  PutState(value);
  StopWaitForUsrUpdate();  // the updater and its change event exist from here on
  // One clean wait names the calls to fail: each call of the wait (not the test's own writes)
  // is failed in turn, by its function and its occurrence.
  sim::RecordTrace(true);
  sim::ClearTrace();
  {
    auto clean = ArmedWait();
    value = 1 - value;
    PutState(value);
    ASSERT_EQ(clean->Code(), kChangedToOn);
  }
  std::vector<std::pair<std::string, uint64_t>> calls;
  std::map<std::string, uint64_t> seen;
  for (const sim::Call& call : sim::Trace()) {
    const std::string& f = call.function;
    if (f == "RegCreateKeyExW" || f == "RegSetValueExW" || f == "RegCloseKey" ||
        f == "CloseHandle") {
      continue;  // the test's writes, and releases
    }
    calls.emplace_back(f, ++seen[f]);
  }
  ASSERT_GE(calls.size(), 6u) << "events, the reads, the open, the arming and the wait";
  sim::RecordTrace(false);
  for (const auto& [function, occurrence] : calls) {
    sim::ClearTrace();
    sim::ClearFaults();
    sim::FailNth(function, occurrence, ERROR_NOT_ENOUGH_MEMORY);
    const uint64_t armed = sim::CallCount("RegNotifyChangeKeyValue");
    const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
    Waiter waiter;
    // The wait ends by itself on a failure, or waits: for the change when it is armed, for the
    // stop when the key did not open.
    ASSERT_TRUE(Eventually([&] {
      return waiter.done() || sim::CallCount("WaitForMultipleObjects") > waits;
    })) << function;
    value = 1 - value;
    PutState(value);
    if (sim::CallCount("RegNotifyChangeKeyValue") == armed) StopWaitForUsrUpdate();
    const int code = waiter.Code();
    EXPECT_EQ(sim::FaultsFired(), 1u) << function << " #" << occurrence;
    sim::ClearFaults();
    EXPECT_TRUE(code == kWaitEndedQuietly || code == kStartReadFailed)
        << function << " #" << occurrence << " failed, and the wait answered " << code;
    ASSERT_LE(sim::OpenHandleCount("event"), 1) << function;
    ASSERT_EQ(sim::OpenHandleCount("key"), 0) << function;
  }
}

// ----- Races ------------------------------------------------------------------------------------

TEST_F(Updater, StopRacingTheEndOfAWaitNeverUsesAClosedEvent) {
  PutState(0);
  for (int round = 0; round < kRounds; ++round) {
    const DWORD next = static_cast<DWORD>((round + 1) % 2);
    auto waiter = ArmedWait();
    std::atomic<bool> go{false};
    std::thread writer([&] {
      while (!go) std::this_thread::yield();
      PutState(next);
    });
    std::thread stopper([&] {
      while (!go) std::this_thread::yield();
      StopWaitForUsrUpdate();
    });
    go = true;
    writer.join();
    stopper.join();
    const int code = waiter->Code();
    ASSERT_TRUE(code == kWaitEndedQuietly || code == (next == 1 ? kChangedToOn : kChangedToOff))
        << "round " << round << ": " << code;
    // The events of the wait are gone, whoever won.
    ASSERT_LE(sim::OpenHandleCount("event"), 1) << "round " << round;
  }
}

TEST_F(Updater, OfTwoWaitsStartingTogetherExactlyOneRuns) {
  PutState(0);
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> go{false};
    std::atomic<int> codes[2] = {{-1}, {-1}};
    std::atomic<bool> done[2] = {{false}, {false}};
    auto wait = [&](int i) {
      while (!go) std::this_thread::yield();
      codes[i] = WaitForUsrUpdate();
      done[i] = true;
    };
    std::thread a(wait, 0);
    std::thread b(wait, 1);
    go = true;
    // One is refused at once while the other goes on waiting.
    ASSERT_TRUE(Eventually([&] { return done[0] || done[1]; })) << "round " << round;
    const int refused = done[0] ? 0 : 1;
    EXPECT_EQ(codes[refused], kWaitEndedQuietly);
    ASSERT_TRUE(Eventually([] { return dpal::core::Updater().IsWaitingForTesting(); }))
        << "round " << round;
    EXPECT_FALSE(done[1 - refused]) << "round " << round << ": the other still waits";
    StopWaitForUsrUpdate();
    a.join();
    b.join();
    EXPECT_EQ(codes[1 - refused], kWaitEndedQuietly);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "round " << round;
  }
}

TEST_F(Updater, StopRacingTheStartOfAWaitEndsItOrIsForgotten) {
  PutState(0);
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::atomic<int> code{-1};
    std::thread waiter([&] {
      while (!go) std::this_thread::yield();
      code = WaitForUsrUpdate();
      done = true;
    });
    std::thread stopper([&] {
      while (!go) std::this_thread::yield();
      StopWaitForUsrUpdate();
    });
    go = true;
    stopper.join();
    // A stop that came first is forgotten; then the wait runs until stopped again.
    ASSERT_TRUE(Eventually([&] {
      if (done) return true;
      if (dpal::core::Updater().IsWaitingForTesting()) StopWaitForUsrUpdate();
      return false;
    })) << "round "
        << round;
    waiter.join();
    ASSERT_EQ(code, kWaitEndedQuietly) << "round " << round;
  }
}

}  // namespace

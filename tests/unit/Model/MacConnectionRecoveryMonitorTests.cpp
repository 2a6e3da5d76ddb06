#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "Model/Connection/DisplaySleepPreventer.hpp"
#include "Model/Connection/MacConnectionRecoveryMonitor.hpp"
#include "Platform/Ports/DisplaySleepAssertion.hpp"
#include "Platform/System/SleepWakeMonitor.hpp"

namespace vantrel {
namespace {

using S = NetworkPathStatus;

TEST(NetworkRecoveryTransition, OnlyAKnownNonSatisfiedPathBecomingSatisfiedIsReported) {
  struct Case {
    std::optional<S> previous;
    S current;
    bool reported;
  };
  const Case cases[] = {
      {std::nullopt, S::satisfied, false},  // the initial state
      {std::nullopt, S::unsatisfied, false},
      {std::nullopt, S::requiresConnection, false},
      {S::unsatisfied, S::satisfied, true},
      {S::requiresConnection, S::satisfied, true},
      {S::satisfied, S::satisfied, false},  // an interface change with the network still up
      {S::satisfied, S::unsatisfied, false},
      {S::satisfied, S::requiresConnection, false},
      {S::unsatisfied, S::requiresConnection, false},
      {S::unsatisfied, S::unsatisfied, false},
      {S::requiresConnection, S::unsatisfied, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reportsNetworkRecovery(c.previous, c.current), c.reported)
        << (c.previous ? static_cast<int>(*c.previous) : -1) << " -> " << static_cast<int>(c.current);
  }
}

// Path updates and wake-ups delivered by hand, from whichever thread the test chooses.
class ScriptedPathMonitor final : public PathMonitor {
 public:
  void start(UpdateHandler handler) override {
    handler_ = std::move(handler);
    ++starts;
  }
  void cancel() override { ++cancels; }
  void deliver(S status) { handler_(status); }
  int starts = 0;
  std::atomic<int> cancels{0};

 private:
  UpdateHandler handler_;
};

class ScriptedWakeMonitor final : public SleepWakeMonitor {
 public:
  void start(WakeHandler handler) override {
    handler_ = std::move(handler);
    ++starts;
  }
  void stop() override { ++stops; }
  void wake() { handler_(); }
  int starts = 0;
  std::atomic<int> stops{0};

 private:
  WakeHandler handler_;
};

struct MonitorFixture {
  MonitorFixture() {
    auto p = std::make_unique<ScriptedPathMonitor>();
    auto w = std::make_unique<ScriptedWakeMonitor>();
    path = p.get();
    wake = w.get();
    monitor = std::make_unique<MacConnectionRecoveryMonitor>(std::move(p), std::move(w));
  }
  std::function<void(std::string)> recorder() {
    return [this](std::string reason) {
      std::lock_guard lock(mutex);
      reasons.push_back(std::move(reason));
    };
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex);
    return reasons;
  }
  ScriptedPathMonitor* path;
  ScriptedWakeMonitor* wake;
  std::unique_ptr<MacConnectionRecoveryMonitor> monitor;
  std::mutex mutex;
  std::vector<std::string> reasons;
};

TEST(ConnectionRecoveryMonitor, ReportsANetworkReturnOnceAndEveryWake) {
  MonitorFixture f;
  f.monitor->start(f.recorder());
  f.path->deliver(S::satisfied);  // up at start: nothing
  f.path->deliver(S::satisfied);
  f.path->deliver(S::unsatisfied);
  f.path->deliver(S::unsatisfied);
  f.path->deliver(S::satisfied);
  f.path->deliver(S::satisfied);
  f.wake->wake();
  f.wake->wake();
  EXPECT_EQ(f.seen(), (std::vector<std::string>{"Network became available", "Mac woke from sleep",
                                                "Mac woke from sleep"}));
}

TEST(ConnectionRecoveryMonitor, StartsOnceAndNeverAfterStop) {
  MonitorFixture f;
  f.monitor->start(f.recorder());
  f.monitor->start(f.recorder());
  EXPECT_EQ(f.path->starts, 1);
  EXPECT_EQ(f.wake->starts, 1);
  f.monitor->stop();
  EXPECT_EQ(f.path->cancels.load(), 1);
  EXPECT_EQ(f.wake->stops.load(), 1);
  f.path->deliver(S::unsatisfied);
  f.path->deliver(S::satisfied);
  f.wake->wake();
  EXPECT_TRUE(f.seen().empty());
  f.monitor->start(f.recorder());
  EXPECT_EQ(f.path->starts, 1) << "a stopped monitor cannot be started again";
  f.monitor->stop();
  EXPECT_EQ(f.path->cancels.load(), 1);

  MonitorFixture never;
  never.monitor->stop();
  never.monitor->start(never.recorder());
  EXPECT_EQ(never.path->starts, 0);
}

TEST(ConnectionRecoveryMonitor, StopWaitsForACallbackInProgressAndNoneBeginsAfterIt) {
  MonitorFixture f;
  std::mutex gate;
  std::condition_variable changed;
  bool inside = false;
  bool release = false;
  std::atomic<int> calls{0};
  std::atomic<bool> stopReturned{false};
  std::atomic<bool> callAfterStop{false};
  std::atomic<bool> stopReturnedDuringCallback{false};
  f.monitor->start([&](std::string) {
    if (stopReturned.load()) callAfterStop = true;
    ++calls;
    std::unique_lock lock(gate);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    if (stopReturned.load()) stopReturnedDuringCallback = true;
  });
  std::thread waker([&] { f.wake->wake(); });
  {
    std::unique_lock lock(gate);
    changed.wait(lock, [&] { return inside; });
  }
  std::thread stopper([&] {
    f.monitor->stop();
    stopReturned = true;
  });
  // Give a stop that does not wait every chance to return while the callback still runs.
  for (int i = 0; i < 10000 && !stopReturned.load(); ++i) std::this_thread::yield();
  {
    std::lock_guard lock(gate);
    release = true;
  }
  changed.notify_all();
  waker.join();
  stopper.join();
  EXPECT_TRUE(stopReturned.load());
  EXPECT_FALSE(stopReturnedDuringCallback.load());
  // Changes racing the stop (and after it) never reach the callback.
  std::thread lateWake([&] { f.wake->wake(); });
  std::thread lateNetwork([&] {
    f.path->deliver(S::unsatisfied);
    f.path->deliver(S::satisfied);
  });
  lateWake.join();
  lateNetwork.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_FALSE(callAfterStop.load());
}

TEST(ConnectionRecoveryMonitor, ACallbackMayStopItsOwnMonitor) {
  MonitorFixture f;
  int calls = 0;
  f.monitor->start([&](std::string) {
    ++calls;
    f.monitor->stop();
  });
  f.wake->wake();
  f.wake->wake();
  EXPECT_EQ(calls, 1);
}

TEST(WakeDetector, ReportsSuspendedTimeGrowthOnceAndIgnoresClockNoise) {
  using namespace std::chrono;
  WakeDetector detector(5s, 100s);
  EXPECT_FALSE(detector.observe(5s + 200ms, 102s)) << "drift below a second is noise";
  EXPECT_FALSE(detector.observe(5s + 999ms, 104s)) << "still below a second from the baseline";
  EXPECT_TRUE(detector.observe(65s, 106s)) << "a minute asleep";
  EXPECT_FALSE(detector.observe(65s, 108s)) << "the same sleep is reported once";
  EXPECT_FALSE(detector.observe(65s + 500ms, 110s));
  EXPECT_TRUE(detector.observe(67s, 112s)) << "growth counts from the last report";
}

TEST(WakeDetector, LogindAndTheClocksReportOneWakeUpBetweenThem) {
  using namespace std::chrono;
  WakeDetector detector(0s, 0s);
  // logind first: the clocks already show the sleep, so this is the report...
  EXPECT_TRUE(detector.logindResumed(30s, 10s));
  // ...and the periodic reading that follows is not a second one.
  EXPECT_FALSE(detector.observe(30s, 12s));
  // Clocks first, then logind's late signal: one report.
  EXPECT_TRUE(detector.observe(90s, 100s));
  EXPECT_FALSE(detector.logindResumed(90s, 101s));
  // logind alone, long after the last report (a sleep the clocks could not see): reported.
  EXPECT_TRUE(detector.logindResumed(90s, 200s));
  EXPECT_FALSE(detector.logindResumed(90s, 200s + WakeDetector::logindMergeWindow - 1s));
}

TEST(SystemSleepWakeMonitor, InjectedClockReadingsDriveTheHandler) {
  using namespace std::chrono;
  std::mutex mutex;
  SystemSleepWakeMonitor::Reading reading{2s, 50s};
  SystemSleepWakeMonitor monitor(
      [&] {
        std::lock_guard lock(mutex);
        return reading;
      },
      std::chrono::hours(1), /*listenToLogind=*/false);
  std::atomic<int> wakes{0};
  monitor.start([&] { ++wakes; });
  monitor.sampleNow();
  EXPECT_EQ(wakes.load(), 0);
  {
    std::lock_guard lock(mutex);
    reading = {2s + 40min, 52s};
  }
  monitor.sampleNow();
  monitor.sampleNow();
  EXPECT_EQ(wakes.load(), 1);
  monitor.logindResumeNow();  // the same wake-up, announced late
  EXPECT_EQ(wakes.load(), 1);
  monitor.stop();
  {
    std::lock_guard lock(mutex);
    reading = {5h, 60s};
  }
  monitor.sampleNow();
  monitor.logindResumeNow();
  EXPECT_EQ(wakes.load(), 1) << "nothing after stop";
}

// The screen-saver backend as a counter.
class CountingAssertion final : public DisplaySleepAssertion {
 public:
  bool declareUserActivity() override {
    ++declarations;
    return true;
  }
  bool acquire() override {
    ++acquisitions;
    return available;
  }
  void release() override { ++releases; }
  bool available = true;
  int declarations = 0;
  int acquisitions = 0;
  int releases = 0;
};

TEST(DisplaySleepPreventer, TwoStartsHoldOneSuspensionAndDeclareActivityTwice) {
  auto backend = std::make_shared<CountingAssertion>();
  {
    DisplaySleepPreventer preventer(backend);
    preventer.stop();  // nothing held: nothing released
    EXPECT_EQ(backend->releases, 0);
    EXPECT_TRUE(preventer.start());
    EXPECT_TRUE(preventer.start());
    EXPECT_EQ(backend->acquisitions, 1);
    EXPECT_EQ(backend->declarations, 2);
    preventer.stop();
    preventer.stop();
    EXPECT_EQ(backend->releases, 1);
    EXPECT_TRUE(preventer.start());
    EXPECT_EQ(backend->acquisitions, 2);
  }
  EXPECT_EQ(backend->releases, 2) << "destroying a holding preventer releases";
}

}  // namespace
}  // namespace vantrel

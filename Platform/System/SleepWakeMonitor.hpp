#pragma once

// Notices that the machine has woken from suspend. The time spent suspended is the growth of
// CLOCK_BOOTTIME over CLOCK_MONOTONIC (the first counts suspended time, the second does not), so
// a periodic look at the two needs nothing but the kernel; logind's PrepareForSleep(false) on the
// system bus, where there is one, tells the same a little sooner.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vantrel {

class SleepWakeMonitor {
 public:
  using WakeHandler = std::function<void()>;
  virtual ~SleepWakeMonitor() = default;
  // The handler runs on the monitor's thread, once per wake-up.
  virtual void start(WakeHandler handler) = 0;
  // Final: once it returns the handler is never called again.
  virtual void stop() = 0;
};

// Decides, from successive readings, when a wake-up is to be reported. Not thread-safe.
class WakeDetector {
 public:
  // Suspended time below this between two readings is clock noise, not a sleep.
  static constexpr std::chrono::milliseconds minimumSuspension{1000};
  // A logind resume this soon after a reported wake-up is the same wake-up.
  static constexpr std::chrono::seconds logindMergeWindow{30};

  // `suspended`: the total suspended time at start; `now`: monotonic time.
  WakeDetector(std::chrono::nanoseconds suspended, std::chrono::nanoseconds now);

  // A periodic reading: true when the suspended time grew by at least `minimumSuspension`.
  bool observe(std::chrono::nanoseconds suspended, std::chrono::nanoseconds now);
  // logind announced a resume: true unless the clocks already told of this wake-up.
  bool logindResumed(std::chrono::nanoseconds suspended, std::chrono::nanoseconds now);

 private:
  std::chrono::nanoseconds baseline_;
  std::optional<std::chrono::nanoseconds> lastReport_;
};

class SystemSleepWakeMonitor final : public SleepWakeMonitor {
 public:
  struct Reading {
    std::chrono::nanoseconds suspended;  // CLOCK_BOOTTIME − CLOCK_MONOTONIC
    std::chrono::nanoseconds monotonic;  // CLOCK_MONOTONIC
  };
  using ClockReader = std::function<Reading()>;

  static Reading readClocks();
  static constexpr std::chrono::seconds defaultSampleInterval{2};

  SystemSleepWakeMonitor();
  // Injected clocks, sample interval and whether to listen to logind (tests).
  SystemSleepWakeMonitor(ClockReader reader, std::chrono::milliseconds sampleInterval, bool listenToLogind);
  ~SystemSleepWakeMonitor() override;
  SystemSleepWakeMonitor(const SystemSleepWakeMonitor&) = delete;
  SystemSleepWakeMonitor& operator=(const SystemSleepWakeMonitor&) = delete;

  void start(WakeHandler handler) override;
  void stop() override;

  // One periodic reading now, on the calling thread (what the thread does every interval).
  void sampleNow();
  // What a PrepareForSleep(false) signal does.
  void logindResumeNow();

 private:
  void run();
  void report();

  ClockReader reader_;
  std::chrono::milliseconds sampleInterval_;
  bool listenToLogind_;
  WakeHandler handler_;
  std::mutex mutex_;  // guards the detector and the stopped flag
  std::optional<WakeDetector> detector_;
  bool started_ = false;
  bool stopped_ = false;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace vantrel

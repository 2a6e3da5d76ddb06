#include "Platform/System/SleepWakeMonitor.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

using std::chrono::nanoseconds;

const SystemLog& wakeLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "sleep-wake");
  return log;
}

nanoseconds clockNow(clockid_t clock) {
  timespec value{};
  ::clock_gettime(clock, &value);
  return std::chrono::seconds(value.tv_sec) + nanoseconds(value.tv_nsec);
}

int onPrepareForSleep(sd_bus_message* message, void* userData, sd_bus_error*) {
  int goingToSleep = 0;
  if (sd_bus_message_read(message, "b", &goingToSleep) < 0) return 0;
  if (!goingToSleep) static_cast<SystemSleepWakeMonitor*>(userData)->logindResumeNow();
  return 0;
}

// The system bus subscription to logind's PrepareForSleep; empty where there is no system bus.
struct LogindSubscription {
  sd_bus* bus = nullptr;

  explicit LogindSubscription(SystemSleepWakeMonitor* monitor) {
    if (sd_bus_open_system(&bus) < 0) {
      bus = nullptr;
      wakeLog().info("no system bus; wake-ups are noticed from the clocks alone");
      return;
    }
    if (sd_bus_match_signal(bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep,
                            monitor) < 0) {
      wakeLog().info("cannot subscribe to logind's sleep signal; wake-ups are noticed from the clocks alone");
      bus = sd_bus_flush_close_unref(bus);
    }
  }
  ~LogindSubscription() {
    if (bus) sd_bus_flush_close_unref(bus);
  }
  LogindSubscription(const LogindSubscription&) = delete;
  LogindSubscription& operator=(const LogindSubscription&) = delete;

  // Dispatches what has arrived; returns the bus's own deadline in milliseconds, or -1.
  int process() {
    if (!bus) return -1;
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    std::uint64_t deadline = 0;
    if (sd_bus_get_timeout(bus, &deadline) < 0 || deadline == UINT64_MAX) return -1;
    const auto now = static_cast<std::uint64_t>(clockNow(CLOCK_MONOTONIC).count() / 1000);
    return deadline <= now ? 0
                           : static_cast<int>(std::min<std::uint64_t>((deadline - now) / 1000 + 1, 60000));
  }
};

}  // namespace

WakeDetector::WakeDetector(nanoseconds suspended, nanoseconds) : baseline_(suspended) {}

bool WakeDetector::observe(nanoseconds suspended, nanoseconds now) {
  if (suspended < baseline_) {
    baseline_ = suspended;
    return false;
  }
  if (suspended - baseline_ < minimumSuspension) return false;
  baseline_ = suspended;
  lastReport_ = now;
  return true;
}

bool WakeDetector::logindResumed(nanoseconds suspended, nanoseconds now) {
  if (observe(suspended, now)) return true;
  if (lastReport_ && now - *lastReport_ < logindMergeWindow) return false;
  lastReport_ = now;
  return true;
}

SystemSleepWakeMonitor::Reading SystemSleepWakeMonitor::readClocks() {
  const auto monotonic = clockNow(CLOCK_MONOTONIC);
  const auto boottime = clockNow(CLOCK_BOOTTIME);
  return {boottime - monotonic, monotonic};
}

SystemSleepWakeMonitor::SystemSleepWakeMonitor()
    : SystemSleepWakeMonitor(readClocks, defaultSampleInterval, true) {}

SystemSleepWakeMonitor::SystemSleepWakeMonitor(ClockReader reader, std::chrono::milliseconds sampleInterval,
                                               bool listenToLogind)
    : reader_(std::move(reader)), sampleInterval_(sampleInterval), listenToLogind_(listenToLogind) {}

SystemSleepWakeMonitor::~SystemSleepWakeMonitor() {
  stop();
  if (thread_.joinable()) thread_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void SystemSleepWakeMonitor::start(WakeHandler handler) {
  {
    std::lock_guard lock(mutex_);
    if (started_ || stopped_) return;
    started_ = true;
    handler_ = std::move(handler);
    const auto reading = reader_();
    detector_.emplace(reading.suspended, reading.monotonic);
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    wakeLog().error("cannot watch for wake-ups: eventfd failed");
    return;
  }
  thread_ = std::thread([this] { run(); });
}

void SystemSleepWakeMonitor::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void SystemSleepWakeMonitor::sampleNow() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || !detector_) return;
    const auto reading = reader_();
    if (!detector_->observe(reading.suspended, reading.monotonic)) return;
  }
  report();
}

void SystemSleepWakeMonitor::logindResumeNow() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || !detector_) return;
    const auto reading = reader_();
    if (!detector_->logindResumed(reading.suspended, reading.monotonic)) return;
  }
  report();
}

void SystemSleepWakeMonitor::report() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
  }
  handler_();
}

void SystemSleepWakeMonitor::run() {
  std::optional<LogindSubscription> logind;
  if (listenToLogind_) logind.emplace(this);
  const auto interval = std::chrono::duration_cast<nanoseconds>(sampleInterval_);
  auto nextSample = clockNow(CLOCK_MONOTONIC) + interval;
  for (;;) {
    const int busTimeout = logind ? logind->process() : -1;
    const auto untilSample = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(nextSample - clockNow(CLOCK_MONOTONIC), nanoseconds(0)));
    int timeout = static_cast<int>(untilSample.count()) + 1;
    if (busTimeout >= 0) timeout = std::min(timeout, busTimeout);
    std::array<pollfd, 2> fds{pollfd{wakeFd_, POLLIN, 0}, pollfd{-1, 0, 0}};
    if (logind && logind->bus) {
      fds[1].fd = sd_bus_get_fd(logind->bus);
      fds[1].events = static_cast<short>(sd_bus_get_events(logind->bus));
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (clockNow(CLOCK_MONOTONIC) >= nextSample) {
      sampleNow();
      nextSample = clockNow(CLOCK_MONOTONIC) + interval;
    }
  }
}

}  // namespace vantrel

#include "Platform/GnomeWayland/BusThread.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace vantrel {
namespace {

// Work waiting for the bus thread: beyond this the bus thread is stuck and callers fail at once.
constexpr std::size_t maximumQueuedWork = 256;

}  // namespace

BusThread::BusThread(const SystemLog& log, std::string label)
    : log_(log), label_(std::move(label)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

BusThread::~BusThread() { stop(); }

void BusThread::start(Connection connection) {
  connection_ = std::move(connection);
  thread_ = std::thread([this] { loop(); });
}

void BusThread::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  signalWake();
  if (thread_.joinable()) thread_.join();
}

// ---- any thread ----

void BusThread::signalWake() {
  const std::uint64_t one = 1;
  if (wake_) (void)!::write(wake_.get(), &one, sizeof one);
}

bool BusThread::enqueue(std::function<void()> run, Clock::time_point deadline) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= maximumQueuedWork) return false;
    queue_.push_back(Work{std::move(run), deadline});
  }
  signalWake();
  return true;
}

// ---- the thread ----

void BusThread::defer(std::function<void()> work) { deferred_.push_back(std::move(work)); }

void BusThread::wakeAt(Clock::time_point when) {
  if (!wakeAt_ || when < *wakeAt_) wakeAt_ = when;
}

void BusThread::loop() {
  for (;;) {
    std::deque<Work> batch;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      batch.swap(queue_);
    }
    for (auto& work : batch) {
      // The caller has given up: running it now would act on a stale request.
      if (Clock::now() > work.deadline) continue;
      work.run();
    }
    runDeferred();
    // A time waited for is over: the pump looks at what waited for it.
    if (wakeAt_ && Clock::now() >= *wakeAt_) wakeAt_.reset();
    connection_.pump();
    if (!deferred_.empty()) continue;
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty() || stopping_) continue;
    }
    waitForActivity();
  }
  connection_.finish();
}

void BusThread::runDeferred() {
  while (!deferred_.empty()) {
    auto work = std::move(deferred_.front());
    deferred_.pop_front();
    work();
  }
}

void BusThread::waitForActivity() {
  pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {-1, 0, 0}};
  nfds_t count = 1;
  int timeoutMs = -1;
  if (wakeAt_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt_ - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
  }
  if (sd_bus* bus = connection_.bus()) {
    fds[1].fd = sd_bus_get_fd(bus);
    fds[1].events = static_cast<short>(sd_bus_get_events(bus));
    count = fds[1].fd >= 0 ? 2 : 1;
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) > 0 && until != UINT64_MAX) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUs =
          static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
      const int busMs = until <= nowUs
                            ? 0
                            : static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60'000));
      timeoutMs = timeoutMs < 0 ? busMs : std::min(timeoutMs, busMs);
    }
  }
  if (::poll(fds, count, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t value = 0;
    (void)!::read(wake_.get(), &value, sizeof value);
  }
}

}  // namespace vantrel

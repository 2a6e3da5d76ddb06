#include "support/SessionTestDoubles.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

namespace vantrel::testing {

LegacyComInfoSnapshot ScriptedComInfoProvider::sample() {
  LegacyComInfoSnapshot s = LegacyComInfoSnapshot::minimalFallback();
  s.externalIP = "10.1.2.3";
  s.cpuUsage = 12;
  s.ramUsage = 40;
  s.ramSizeGB = 16;
  s.hddSizeBytes = 500;
  s.hddRemainBytes = 1000;
  s.processUsedMemoryBytes = 2048;
  s.usedTime = "3h";
  s.width = 1920;
  s.height = 1080;
  return s;
}

Awaitable<LegacyComInfoSnapshot> ScriptedComInfoProvider::makeSnapshot() {
  auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<Timer> wait;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (held_) {
      wait = std::make_shared<Timer>(executor);
      wait->expires_at(VantrelClock::time_point::max());
      waits_.push_back(wait);
      ++waiting_;
    }
  }
  if (wait) {
    std::error_code ec;
    co_await wait->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    std::lock_guard lock(mutex_);
    --waiting_;
  }
  std::lock_guard lock(mutex_);
  if (error_) std::rethrow_exception(error_);
  co_return snapshot_;
}

void ScriptedComInfoProvider::setSnapshot(LegacyComInfoSnapshot snapshot) {
  std::lock_guard lock(mutex_);
  snapshot_ = std::move(snapshot);
}

void ScriptedComInfoProvider::failWith(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

void ScriptedComInfoProvider::hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void ScriptedComInfoProvider::release() {
  std::vector<std::shared_ptr<Timer>> waits;
  {
    std::lock_guard lock(mutex_);
    held_ = false;
    waits.swap(waits_);
  }
  for (auto& wait : waits) asio::post(wait->get_executor(), [wait] { wait->cancel(); });
}

int ScriptedComInfoProvider::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int ScriptedComInfoProvider::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

Awaitable<void> RecordingSecureSession::start(AIPairingBinding binding) {
  std::lock_guard lock(mutex_);
  starts_.push_back(std::move(binding));
  co_return;
}

Awaitable<void> RecordingSecureSession::stop() {
  auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<Timer> wait;
  {
    std::lock_guard lock(mutex_);
    ++stops_;
    if (held_) {
      wait = std::make_shared<Timer>(executor);
      wait->expires_at(VantrelClock::time_point::max());
      waits_.push_back(wait);
      ++waiting_;
    }
  }
  if (wait) {
    std::error_code ec;
    co_await wait->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    std::lock_guard lock(mutex_);
    --waiting_;
  }
}

void RecordingSecureSession::holdStops() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void RecordingSecureSession::releaseStops() {
  std::vector<std::shared_ptr<Timer>> waits;
  {
    std::lock_guard lock(mutex_);
    held_ = false;
    waits.swap(waits_);
  }
  for (auto& wait : waits) asio::post(wait->get_executor(), [wait] { wait->cancel(); });
}

int RecordingSecureSession::waitingStops() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

std::vector<AIPairingBinding> RecordingSecureSession::starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

int RecordingSecureSession::stops() const {
  std::lock_guard lock(mutex_);
  return stops_;
}

}  // namespace vantrel::testing

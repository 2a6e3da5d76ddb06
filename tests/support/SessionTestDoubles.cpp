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
  {
    std::lock_guard lock(mutex_);
    ++calls_;
  }
  co_await gate_.pass();
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

void ScriptedComInfoProvider::hold() { gate_.hold(); }

void ScriptedComInfoProvider::release() { gate_.release(); }

int ScriptedComInfoProvider::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int ScriptedComInfoProvider::waiting() const { return gate_.waiting(); }

Awaitable<void> RecordingSecureSession::start(AIPairingBinding binding) {
  std::lock_guard lock(mutex_);
  starts_.push_back(std::move(binding));
  co_return;
}

Awaitable<void> RecordingSecureSession::stop() {
  {
    std::lock_guard lock(mutex_);
    ++stops_;
  }
  co_await gate_.pass();
}

void RecordingSecureSession::holdStops() { gate_.hold(); }

void RecordingSecureSession::releaseStops() { gate_.release(); }

int RecordingSecureSession::waitingStops() const { return gate_.waiting(); }

std::vector<AIPairingBinding> RecordingSecureSession::starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

int RecordingSecureSession::stops() const {
  std::lock_guard lock(mutex_);
  return stops_;
}

}  // namespace vantrel::testing

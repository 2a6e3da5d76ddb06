#include "support/FakeSessionCollaborators.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

namespace vantrel::testing {

Awaitable<ScreenPixelSize> FakeScreenStreamer::primaryDisplaySize() {
  std::exception_ptr error;
  ScreenPixelSize size;
  {
    std::lock_guard lock(mutex_);
    error = sizeError_;
    size = size_;
  }
  if (error) std::rethrow_exception(error);
  co_return size;
}

Awaitable<long long> FakeScreenStreamer::primaryDisplayDPIRate() {
  std::lock_guard lock(mutex_);
  co_return dpiRate_;
}

Awaitable<void> FakeScreenStreamer::start(ScreenStreamConfiguration configuration,
                                          ScreenStreamHandlers handlers) {
  VantrelClock::duration delay;
  std::uint64_t call = 0;
  {
    std::lock_guard lock(mutex_);
    ++startCalls_;
    call = ++lastCall_;
    delay = startDelay_;
  }
  if (delay > VantrelClock::duration::zero()) co_await sleepFor(delay);
  std::exception_ptr error;
  {
    std::lock_guard lock(mutex_);
    starts_.push_back(configuration);
    startHandlers_.push_back(handlers);
    error = std::exchange(startError_, nullptr);
    // Like the real streamer: a stop or a newer start while this one was under way ended the
    // stream it makes; otherwise a start first stops a running stream.
    if (!error && call == lastCall_) {
      if (handlers_) {
        handlers_.reset();
        ++stopCount_;
      }
      handlers_ = std::move(handlers);
    }
  }
  if (error) std::rethrow_exception(error);
  co_return;
}

Awaitable<void> FakeScreenStreamer::stop() {
  std::lock_guard lock(mutex_);
  ++lastCall_;
  handlers_.reset();
  ++stopCount_;
  co_return;
}

Awaitable<void> FakeScreenStreamer::requestKeyframe() {
  std::lock_guard lock(mutex_);
  ++keyframeRequests_;
  co_return;
}

Awaitable<bool> FakeScreenStreamer::isStreaming() {
  std::lock_guard lock(mutex_);
  co_return handlers_.has_value();
}

void FakeScreenStreamer::setDisplaySize(ScreenPixelSize size) {
  std::lock_guard lock(mutex_);
  size_ = size;
  sizeError_ = nullptr;
}

void FakeScreenStreamer::failDisplaySize(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  sizeError_ = std::move(error);
}

void FakeScreenStreamer::setDPIRate(long long rate) {
  std::lock_guard lock(mutex_);
  dpiRate_ = rate;
}

void FakeScreenStreamer::setStartDelay(VantrelClock::duration delay) {
  std::lock_guard lock(mutex_);
  startDelay_ = delay;
}

void FakeScreenStreamer::failNextStart(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  startError_ = std::move(error);
}

Awaitable<bool> FakeScreenStreamer::deliver(EncodedScreenAccessUnit unit) {
  std::function<void(EncodedScreenAccessUnit)> onAccessUnit;
  {
    std::lock_guard lock(mutex_);
    if (!handlers_ || !handlers_->onAccessUnit) co_return false;
    onAccessUnit = handlers_->onAccessUnit;
  }
  onAccessUnit(std::move(unit));
  co_return true;
}

Awaitable<bool> FakeScreenStreamer::fail(std::string text) {
  std::function<void(std::string)> onFailure;
  {
    std::lock_guard lock(mutex_);
    if (!handlers_) co_return false;
    onFailure = handlers_->onFailure;
    handlers_.reset();
  }
  if (onFailure) onFailure(std::move(text));
  co_return true;
}

Awaitable<bool> FakeScreenStreamer::deliverLate(std::size_t start, EncodedScreenAccessUnit unit) {
  std::function<void(EncodedScreenAccessUnit)> onAccessUnit;
  {
    std::lock_guard lock(mutex_);
    if (start >= startHandlers_.size() || !startHandlers_[start].onAccessUnit) co_return false;
    onAccessUnit = startHandlers_[start].onAccessUnit;
  }
  onAccessUnit(std::move(unit));
  co_return true;
}

int FakeScreenStreamer::startCalls() const {
  std::lock_guard lock(mutex_);
  return startCalls_;
}

std::vector<ScreenStreamConfiguration> FakeScreenStreamer::starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

int FakeScreenStreamer::stopCount() const {
  std::lock_guard lock(mutex_);
  return stopCount_;
}

int FakeScreenStreamer::keyframeRequests() const {
  std::lock_guard lock(mutex_);
  return keyframeRequests_;
}

bool FakeScreenStreamer::streaming() const {
  std::lock_guard lock(mutex_);
  return handlers_.has_value();
}

EncodedScreenAccessUnit FakeScreenStreamer::makeUnit(bool keyframe, std::size_t payloadBytes,
                                                     std::uint8_t fill) {
  Bytes data;
  const auto nal = [&](std::uint8_t header, std::size_t size) {
    data.insert(data.end(), {0x00, 0x00, 0x00, 0x01, header});
    data.insert(data.end(), size, fill);
  };
  if (keyframe) {
    nal(0x67, 8);  // sequence parameter set
    nal(0x68, 4);  // picture parameter set
    nal(0x65, payloadBytes);
  } else {
    nal(0x41, payloadBytes);
  }
  return EncodedScreenAccessUnit{std::move(data), keyframe};
}

void FakeInputInjector::inject(const LegacyInputPacket& packet) {
  std::exception_ptr error;
  std::function<void(const LegacyInputPacket&)> observer;
  {
    std::lock_guard lock(mutex_);
    ++attempts_;
    if (!errors_.empty()) {
      error = errors_.front();
      errors_.pop_front();
    }
    observer = observer_;
  }
  if (error) std::rethrow_exception(error);
  if (observer) observer(packet);
  std::lock_guard lock(mutex_);
  ++injected_;
}

void FakeInputInjector::queueError(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  errors_.push_back(std::move(error));
}

void FakeInputInjector::setObserver(std::function<void(const LegacyInputPacket&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

int FakeInputInjector::injectedCount() const {
  std::lock_guard lock(mutex_);
  return injected_;
}

int FakeInputInjector::attemptCount() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}

void FakeSystemCommandExecutor::requestReboot() {
  std::exception_ptr error;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    error = error_;
  }
  if (error) std::rethrow_exception(error);
}

void FakeSystemCommandExecutor::failWith(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

int FakeSystemCommandExecutor::rebootRequests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void EventRecorder::mirror(const DirectAuthEvent& event) {
  std::lock_guard lock(mutex_);
  mirrored_.push_back(event);
}

std::function<void(const DirectAuthEvent&)> EventRecorder::handler() {
  return [this](const DirectAuthEvent& event) {
    std::lock_guard lock(mutex_);
    const auto index = handled_.size();
    if (index >= mirrored_.size() || !(mirrored_[index] == event)) orderViolated_ = true;
    handled_.push_back(event);
  };
}

std::vector<DirectAuthEvent> EventRecorder::mirrored() const {
  std::lock_guard lock(mutex_);
  return mirrored_;
}

std::vector<DirectAuthEvent> EventRecorder::handled() const {
  std::lock_guard lock(mutex_);
  return handled_;
}

std::vector<std::string> EventRecorder::messages() const {
  std::vector<std::string> lines;
  for (const auto& event : mirrored()) lines.push_back(event.message());
  return lines;
}

bool EventRecorder::containsMessage(const std::string& line) const {
  for (const auto& message : messages()) {
    if (message == line) return true;
  }
  return false;
}

bool EventRecorder::mirrorPrecedesHandler() const {
  std::lock_guard lock(mutex_);
  return !orderViolated_;
}

void EventRecorder::clear() {
  std::lock_guard lock(mutex_);
  mirrored_.clear();
  handled_.clear();
  orderViolated_ = false;
}

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

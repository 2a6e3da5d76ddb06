#include "Platform/Screen/H264CaptureLoop.hpp"

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "Platform/Screen/ScreenCaptureSchedule.hpp"
#include "Platform/X11/XConnection.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

struct H264CaptureLoop::State {
  H264CaptureSettings settings;
  H264CaptureCallbacks callbacks;
  int wakeFd = -1;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> keyframeRequested{false};
  std::atomic<bool> running{false};
  ScreenRect area;
  bool sharedMemory = false;
  std::mutex stopMutex;
  // Out while the consumer holds the last picture; its return wakes the loop.
  std::shared_ptr<HandOffCredit> handOff;

  ~State() {
    if (wakeFd >= 0) ::close(wakeFd);
  }

  void wake() const noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
  }

  void drainWake() const noexcept {
    std::uint64_t value = 0;
    [[maybe_unused]] const auto got = ::read(wakeFd, &value, sizeof value);
  }

  void run(std::promise<void>& ready);
};

namespace {
using SteadyClock = std::chrono::steady_clock;

std::chrono::nanoseconds sinceEpoch(SteadyClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
}
}  // namespace

void H264CaptureLoop::State::run(std::promise<void>& ready) {
  std::unique_ptr<DisplayCaptureSource> capture;
  std::optional<ScreenPixelConverter> converter;
  std::optional<X264Encoder> encoder;
  try {
    X264EncoderSettings encoderSettings{settings.targetWidth, settings.targetHeight, settings.framesPerSecond,
                                        settings.averageBitrate, settings.keyframeInterval};
    if (auto problem = X264Encoder::validate(encoderSettings))
      throw X264EncoderError::invalidSettings(*problem);
    capture = openDisplayCaptureSource({settings.displayName, settings.showsCursor, true});
    converter.emplace(settings.targetWidth, settings.targetHeight);
    encoder.emplace(encoderSettings);
    area = capture->area();
    sharedMemory = capture->usesSharedMemory();
  } catch (...) {
    ready.set_exception(std::current_exception());
    return;
  }
  running.store(true, std::memory_order_release);
  ready.set_value();

  ScreenFramePacer pacer(settings.framesPerSecond, settings.refreshInterval);
  KeyframePolicy keyframes(settings.keyframeInterval);
  PictureRecord shown;  // what the encoder was given last, unless the screen is in motion
  std::optional<SteadyClock::time_point> lastChangeTaken;
  int motionStreak = 0;  // large changes in a row, each right after the one before
  const int sourceFd = capture->pollFd();
  const I420Picture* picture = nullptr;
  std::exception_ptr failure;
  try {
    while (!stopRequested.load(std::memory_order_acquire)) {
      // A picture that is due anyway looks at the pointer too: a warped pointer reports no motion.
      if (capture->collectChanges(pacer.isDue(sinceEpoch(SteadyClock::now())))) pacer.noteChange();
      if (keyframeRequested.exchange(false, std::memory_order_acq_rel)) {
        keyframes.request();
        pacer.requestPicture();
      }
      const auto now = SteadyClock::now();
      // While the previous picture waits to be sent, none is taken: it would only wait behind it
      // (or replace it, and leave the viewer without a picture the next ones refer to). What
      // changes meanwhile stays noted, and a keyframe asked for stays asked for.
      if (handOff->isFree() && pacer.isDue(sinceEpoch(now))) {
        // A refresh of a screen that did not change encodes the previous picture again; only a
        // change needs the screen read and converted, and then only where it changed. A keyframe
        // (the first picture among them) and, now and then, any other picture read and convert
        // the whole screen, so that whatever a damage report might have missed is put right.
        // The encoder is told which parts changed only when they are known: after a partial
        // conversion (a refresh or a whole read encodes the picture fully analysed).
        const bool carriesChange = pacer.changePending();
        const auto plan = keyframes.plan(carriesChange);
        const ScreenDamage* changed = nullptr;
        bool readWhole = plan.readsWhole || !picture;
        const bool read = readWhole || carriesChange;
        if (readWhole) {
          picture = &captureWholePicture(*capture, *converter);
        } else if (carriesChange) {
          picture = &captureChangedPicture(*capture, *converter);
          changed = &converter->changedParts();
          readWhole = changed->isWhole();
        }
        if (carriesChange && !plan.keyframe && shown.matches(*picture, changed)) {
          // Reported, but not a pixel differs (a client drew what was there): no picture.
          pacer.dropChange();
          continue;
        }
        auto encoded = encoder->encode(*picture, plan.keyframe, changed, plan.keyframeQp);
        // A screen in motion (large changes in a row, each right after the one before) is not
        // kept: a copy of every such picture costs a whole extra pass over it, and a change that
        // alters nothing does little harm among real ones. The record comes back whole with the
        // first picture after the motion (a pause, a small change or a refresh), so a still
        // screen, and one that changed once, keep the check.
        const bool quickAndLarge = carriesChange && lastChangeTaken &&
                                   now - *lastChangeTaken <= 2 * pacer.frameInterval() &&
                                   coversMuch(changed, picture->width, picture->height);
        motionStreak = quickAndLarge ? motionStreak + 1 : 0;
        if (motionStreak >= 2) {
          shown.forget();
        } else if (read || !shown.isKept()) {
          shown.record(*picture, changed);
        }
        if (carriesChange) lastChangeTaken = now;
        keyframes.didEncode(carriesChange, encoded.isKeyframe, readWhole, encoded.qp);
        pacer.didCapture(sinceEpoch(now));
        if (stopRequested.load(std::memory_order_acquire)) break;
        callbacks.onPicture(std::move(encoded), CaptureTiming{now, SteadyClock::now()}, handOff->take());
        continue;
      }
      // Sleep until the next picture is due, the display server sends an event or someone wakes us.
      // A cursor whose motion is not reported is looked at once per frame interval as well.
      if (capture->hasQueuedEvents()) continue;
      // With the ticket out only its return (or an event) can make a picture due.
      auto due = handOff->isFree() ? pacer.nextDueTime() : sinceEpoch(now) + std::chrono::hours(1);
      if (settings.showsCursor && !capture->followsPointerByEvents()) {
        due = std::min(due, sinceEpoch(now) + pacer.frameInterval());
      }
      auto wait = due - sinceEpoch(now);
      if (wait < std::chrono::nanoseconds(0)) wait = std::chrono::nanoseconds(0);
      const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                             static_cast<long>(wait.count() % 1'000'000'000)};
      pollfd fds[2] = {{sourceFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int ready = ::ppoll(fds, 2, &timeout, nullptr);
      if (ready < 0 && errno != EINTR) {
        throw X11CaptureError::failed(
            fmt::format("Waiting for the X display failed: {}", std::strerror(errno)));
      }
      if (ready > 0 && (fds[1].revents & POLLIN)) drainWake();
      if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP))) {
        // collectChanges notices the lost connection and throws.
        (void)capture->collectChanges();
        throw X11CaptureError::failed("The connection to the X display was lost.");
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  running.store(false, std::memory_order_release);
  // Release the display and the encoder before telling anyone.
  encoder.reset();
  converter.reset();
  capture.reset();
  // What the encoder's threads and this one freed below the mmap threshold stays in their malloc
  // arenas; hand the free pages back so that a stopped stream leaves nothing resident.
  ::malloc_trim(0);
  if (failure && !stopRequested.load(std::memory_order_acquire) && callbacks.onFailure) {
    callbacks.onFailure(failure);
  }
}

H264CaptureLoop::H264CaptureLoop(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<H264CaptureLoop> H264CaptureLoop::start(H264CaptureSettings settings,
                                                        H264CaptureCallbacks callbacks) {
  // Pictures, encoder frames and access units are hundreds of kilobytes to megabytes each and
  // are freed on other threads than the one that took them. Left to itself, malloc raises its
  // mmap threshold after the first such free and keeps every later one in some thread's arena,
  // so each stream left its buffers behind; a fixed threshold hands them back when freed.
  static std::once_flag fixedThreshold;
  std::call_once(fixedThreshold, [] { ::mallopt(M_MMAP_THRESHOLD, 128 * 1024); });
  auto state = std::make_shared<State>();
  state->settings = std::move(settings);
  state->callbacks = std::move(callbacks);
  state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state->wakeFd < 0) {
    throw X11CaptureError::failed(fmt::format("Cannot create the capture wake-up: {}", std::strerror(errno)));
  }
  // A ticket may be given back after the loop has ended (a picture still being sent at a stop).
  state->handOff = HandOffCredit::create([weak = std::weak_ptr<State>(state)] {
    if (auto alive = weak.lock()) alive->wake();
  });
  std::promise<void> ready;
  auto readyFuture = ready.get_future();
  state->thread = std::thread([state, &ready] { state->run(ready); });
  try {
    readyFuture.get();
  } catch (...) {
    state->thread.join();
    throw;
  }
  return std::unique_ptr<H264CaptureLoop>(new H264CaptureLoop(state));
}

H264CaptureLoop::~H264CaptureLoop() { stop(); }

void H264CaptureLoop::requestKeyframe() {
  state_->keyframeRequested.store(true, std::memory_order_release);
  state_->wake();
}

void H264CaptureLoop::stop() {
  std::lock_guard lock(state_->stopMutex);
  state_->stopRequested.store(true, std::memory_order_release);
  state_->wake();
  if (state_->thread.joinable()) state_->thread.join();
}

ScreenRect H264CaptureLoop::captureArea() const noexcept { return state_->area; }
bool H264CaptureLoop::usesSharedMemory() const noexcept { return state_->sharedMemory; }
bool H264CaptureLoop::isRunning() const noexcept { return state_->running.load(std::memory_order_acquire); }

}  // namespace vantrel

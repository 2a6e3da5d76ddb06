#include "Screen/ScreenCaptureKitH264Streamer.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

#include <algorithm>
#include <atomic>
#include <climits>
#include <utility>

#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/Screen/H264CaptureLoop.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "Screen/BlockingCall.hpp"

namespace vantrel {

// What the capture thread reaches: the stream's handlers and whether they may still be called.
// It holds nothing else, so the capture thread never owns (and never ends) its own loop.
struct ScreenCaptureKitH264Streamer::Delivery {
  ScreenStreamHandlers handlers;
  std::atomic<bool> active{true};
};

struct ScreenCaptureKitH264Streamer::Stream {
  std::uint64_t id = 0;
  std::shared_ptr<Delivery> delivery;
  std::shared_ptr<H264CaptureLoop> loop;
  bool running = false;  // started and not failed
};

// Counts one capture thread being set up or joined while it lives (on the strand); the last one
// to end wakes the stops that wait for it.
class ScreenCaptureKitH264Streamer::Unsettled {
 public:
  explicit Unsettled(std::shared_ptr<ScreenCaptureKitH264Streamer> streamer)
      : streamer_(std::move(streamer)) {
    ++streamer_->unsettled_;
  }
  ~Unsettled() {
    if (--streamer_->unsettled_ > 0) return;
    for (const auto& waiter : std::exchange(streamer_->settleWaiters_, {})) waiter->cancel();
  }
  Unsettled(const Unsettled&) = delete;
  Unsettled& operator=(const Unsettled&) = delete;

 private:
  std::shared_ptr<ScreenCaptureKitH264Streamer> streamer_;
};

namespace {

using screen_detail::runBlockingCall;

int toInt(long long value) { return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX)); }

ScreenStreamError startError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const X11CaptureError& e) {
    switch (e.kind()) {
      case X11CaptureError::Case::accessDenied: return ScreenStreamError::screenRecordingDenied();
      case X11CaptureError::Case::noDisplay: return ScreenStreamError::noDisplay();
      case X11CaptureError::Case::failed: return ScreenStreamError::startFailed(e.detail());
      // A display that went away is no refusal: the stream cannot start until it is back.
      case X11CaptureError::Case::unreachable: return ScreenStreamError::startFailed(e.detail());
    }
  } catch (const CompositorCaptureError& e) {
    return ScreenStreamError::startFailed(e.detail());
  } catch (const X264EncoderError& e) {
    return ScreenStreamError::startFailed(e.detail());
  } catch (const ScreenStreamError& e) {
    return e;
  } catch (const std::exception& e) {
    return ScreenStreamError::startFailed(localizedDescription(e));
  } catch (...) {
  }
  return ScreenStreamError::startFailed("unknown error");
}

Awaitable<void> joinLoop(std::shared_ptr<H264CaptureLoop> loop) {
  const auto end = [loop] { loop->stop(); };
  co_await runBlockingCall(end);
}

}  // namespace

std::string screenStreamFailureText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const X11CaptureError& e) {
    switch (e.kind()) {
      case X11CaptureError::Case::accessDenied:
        return ScreenStreamError::screenRecordingDenied().localizedDescription();
      case X11CaptureError::Case::noDisplay: return ScreenStreamError::noDisplay().localizedDescription();
      case X11CaptureError::Case::failed:
      case X11CaptureError::Case::unreachable: return "Screen capture stopped: " + e.detail();
    }
  } catch (const CompositorCaptureError& e) {
    return "Screen capture stopped: " + e.detail();
  } catch (const X264EncoderError& e) {
    return ScreenStreamError::encodeFailed(e.detail()).localizedDescription();
  } catch (const std::exception& e) {
    return ScreenStreamError::encodeFailed(localizedDescription(e)).localizedDescription();
  } catch (...) {
  }
  return ScreenStreamError::encodeFailed("unknown error").localizedDescription();
}

std::shared_ptr<ScreenCaptureKitH264Streamer> ScreenCaptureKitH264Streamer::create(
    Executor executor, std::optional<std::string> displayName) {
  return std::shared_ptr<ScreenCaptureKitH264Streamer>(
      new ScreenCaptureKitH264Streamer(std::move(executor), std::move(displayName)));
}

ScreenCaptureKitH264Streamer::ScreenCaptureKitH264Streamer(Executor executor,
                                                           std::optional<std::string> displayName)
    : strand_(makeStrand(executor)), displayName_(std::move(displayName)) {}

ScreenCaptureKitH264Streamer::~ScreenCaptureKitH264Streamer() {
  // The capture thread holds no reference to the streamer; end it before the strand goes away.
  if (stream_ && stream_->loop) stream_->loop->stop();
}

Awaitable<ScreenPixelSize> ScreenCaptureKitH264Streamer::primaryDisplaySize() {
  return runOn(strand_, primaryDisplaySizeOnStrand());
}

Awaitable<long long> ScreenCaptureKitH264Streamer::primaryDisplayDPIRate() {
  return runOn(strand_, primaryDisplayDPIRateOnStrand());
}

Awaitable<ScreenPixelSize> ScreenCaptureKitH264Streamer::primaryDisplaySizeOnStrand() {
  auto name = displayName_;
  const auto query = [name] {
    try {
      return readDisplayLayout(name);
    } catch (...) {
      throw startError(std::current_exception());
    }
  };
  scaleRateOfLastSize_.reset();
  const auto layout = co_await runBlockingCall(query);
  scaleRateOfLastSize_ = layout.scaleRate;
  const auto area = layout.mainArea();
  if (!area) throw ScreenStreamError::noDisplay();
  co_return ScreenPixelSize{area->width, area->height};
}

Awaitable<long long> ScreenCaptureKitH264Streamer::primaryDisplayDPIRateOnStrand() {
  // A screen request asks for the size and then for the density: the read that answered the size
  // answers the density too, so that a request opens one connection to the display, not two.
  if (const auto remembered = std::exchange(scaleRateOfLastSize_, std::nullopt)) co_return *remembered;
  auto name = displayName_;
  const auto query = [name]() -> long long {
    try {
      return readDisplayLayout(name).scaleRate;
    } catch (...) {
      return 100;  // never fails: a display that cannot be asked counts as unscaled
    }
  };
  co_return co_await runBlockingCall(query);
}

Awaitable<void> ScreenCaptureKitH264Streamer::start(ScreenStreamConfiguration configuration,
                                                    ScreenStreamHandlers handlers) {
  return runOn(strand_, startOnStrand(configuration, std::move(handlers)));
}

Awaitable<void> ScreenCaptureKitH264Streamer::stop() { return runOn(strand_, stopOnStrand()); }

Awaitable<void> ScreenCaptureKitH264Streamer::requestKeyframe() {
  auto self = shared_from_this();
  co_await runOn(strand_, [](std::shared_ptr<ScreenCaptureKitH264Streamer> streamer) -> Awaitable<void> {
    if (streamer->stream_ && streamer->stream_->loop) streamer->stream_->loop->requestKeyframe();
    co_return;
  }(self));
}

Awaitable<bool> ScreenCaptureKitH264Streamer::isStreaming() {
  auto self = shared_from_this();
  co_return co_await runOn(strand_,
                           [](std::shared_ptr<ScreenCaptureKitH264Streamer> streamer) -> Awaitable<bool> {
                             co_return streamer->stream_ && streamer->stream_->running;
                           }(self));
}

Awaitable<void> ScreenCaptureKitH264Streamer::startOnStrand(ScreenStreamConfiguration configuration,
                                                            ScreenStreamHandlers handlers) {
  auto self = shared_from_this();
  co_await stopOnStrand();

  auto stream = std::make_shared<Stream>();
  stream->id = ++lastStreamId_;
  stream->delivery = std::make_shared<Delivery>();
  stream->delivery->handlers = std::move(handlers);
  stream_ = stream;

  H264CaptureSettings settings;
  settings.displayName = displayName_;
  settings.targetWidth = toInt(configuration.targetWidth());
  settings.targetHeight = toInt(configuration.targetHeight());
  settings.showsCursor = configuration.showsCursor();
  settings.framesPerSecond = toInt(configuration.framesPerSecond());
  settings.averageBitrate = toInt(configuration.averageBitrate());
  settings.keyframeInterval = toInt(configuration.keyframeInterval());

  // The capture thread hands each picture straight to the stream's handler, which stores it and
  // returns; it never waits for the streamer or a session. The picture's ticket goes along: the
  // thread takes the next picture once the handler's side has let go of it. After a stop (the
  // thread is joined) or a failure no handler runs.
  const std::weak_ptr<ScreenCaptureKitH264Streamer> weak = self;
  const auto id = stream->id;
  const auto strand = strand_;
  const auto delivery = stream->delivery;
  H264CaptureCallbacks callbacks;
  callbacks.onPicture = [delivery](EncodedPicture picture, CaptureTiming, HandOffCredit::Ticket handOff) {
    if (!delivery->active.load(std::memory_order_acquire) || !delivery->handlers.onAccessUnit) return;
    try {
      delivery->handlers.onAccessUnit(
          EncodedScreenAccessUnit{std::move(picture.annexB), picture.isKeyframe, std::move(handOff)});
    } catch (...) {
      SystemLog("local.vantrel.VantrelMac", "screen")
          .error("Screen stream handler threw: {}", localizedDescription(std::current_exception()));
    }
  };
  callbacks.onFailure = [delivery, weak, id, strand](std::exception_ptr error) {
    if (!delivery->active.exchange(false, std::memory_order_acq_rel)) return;
    std::string text = screenStreamFailureText(error);
    // The streamer learns of the end before the handler does: anything the handler then asks of
    // the streamer queues behind this on the strand and finds the stream ended.
    asio::post(strand, [weak, id, text]() mutable {
      if (auto streamer = weak.lock()) streamer->acceptFailure(id, std::move(text));
    });
    if (delivery->handlers.onFailure) {
      try {
        delivery->handlers.onFailure(text);
      } catch (...) {
        SystemLog("local.vantrel.VantrelMac", "screen")
            .error("Screen stream handler threw: {}", localizedDescription(std::current_exception()));
      }
    }
  };

  const auto begin = [settings, callbacks] {
    return std::shared_ptr<H264CaptureLoop>(H264CaptureLoop::start(settings, callbacks));
  };
  std::shared_ptr<H264CaptureLoop> loop;
  std::exception_ptr failure;
  const Unsettled settingUp(self);
  try {
    loop = co_await runBlockingCall(begin);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (stream_ == stream) stream_.reset();
    const auto error = startError(failure);
    log_.error("{}", error.localizedDescription());
    throw error;
  }
  if (stream_ != stream) {
    // A stop or a newer start came in meanwhile: this stream is over before it began.
    co_await joinLoop(loop);
    co_return;
  }
  stream->loop = loop;
  stream->running = true;
  const auto area = loop->captureArea();
  log_.info("Screen stream started: {}x{} at ({}, {}) -> {}x{}, {} fps, {} bit/s, keyframe interval {}{}",
            area.width, area.height, area.x, area.y, settings.targetWidth, settings.targetHeight,
            settings.framesPerSecond, settings.averageBitrate, settings.keyframeInterval,
            loop->usesSharedMemory() ? "" : " (without MIT-SHM)");
}

Awaitable<void> ScreenCaptureKitH264Streamer::stopOnStrand() {
  auto self = shared_from_this();
  if (auto stream = std::exchange(stream_, nullptr)) {
    stream->delivery->active.store(false, std::memory_order_release);
    stream->running = false;
    if (auto loop = std::move(stream->loop)) {
      const Unsettled joining(self);
      co_await joinLoop(loop);
    }
  }
  // A start still setting its thread up ends it itself once it finds the stream stopped; a
  // thread another stop or a failure joins is not over before that join either.
  co_await settled();
}

Awaitable<void> ScreenCaptureKitH264Streamer::settled() {
  while (unsettled_ > 0) {
    auto waiter = std::make_shared<Timer>(strand_);
    waiter->expires_at(VantrelClock::time_point::max());
    settleWaiters_.push_back(waiter);
    std::error_code ignored;
    co_await waiter->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    const auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) co_return;
  }
}

void ScreenCaptureKitH264Streamer::acceptFailure(std::uint64_t streamId, std::string text) {
  const auto stream = stream_;
  if (!stream || stream->id != streamId) return;
  log_.error("Screen stream failed: {}", text);
  stream->running = false;
  stream_.reset();
  // The capture thread ends by itself after reporting; it is joined off the strand.
  if (stream->loop) {
    // Counted from now, so that a stop coming in before the join has begun waits for it too.
    auto joining = std::make_shared<Unsettled>(shared_from_this());
    spawnTask(
        strand_,
        [](std::shared_ptr<Unsettled> /*joining*/, std::shared_ptr<H264CaptureLoop> loop) -> Awaitable<void> {
          co_await joinLoop(std::move(loop));
        }(std::move(joining), stream->loop),
        "screen capture join");
  }
}

}  // namespace vantrel

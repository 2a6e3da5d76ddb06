#include "Screen/ScreenCaptureKitH264Streamer.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <climits>

#include "Platform/X11DisplayCapture.hpp"
#include "Platform/X11H264CaptureLoop.hpp"
#include "Screen/BlockingCall.hpp"

namespace vantrel {

struct ScreenCaptureKitH264Streamer::Stream {
  std::uint64_t id = 0;
  ScreenStreamHandlers handlers;
  std::optional<ScreenStreamConfiguration> configuration;
  std::shared_ptr<X11H264CaptureLoop> loop;
  std::deque<PendingItem> pending;
  bool active = true;             // handlers may still be called
  bool running = false;           // started and not failed
  bool delivering = false;        // a delivery task runs
  bool awaitingKeyframe = false;  // units are dropped up to the next keyframe
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
    }
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

// The handlers are called through plain functions (docs/coroutine-rules.md, rule 4).
Awaitable<void> callAccessUnit(const ScreenStreamHandlers& handlers, EncodedScreenAccessUnit& unit) {
  return handlers.onAccessUnit(std::move(unit));
}

Awaitable<void> callFailure(const ScreenStreamHandlers& handlers, const std::string& text) {
  return handlers.onFailure(text);
}

Awaitable<void> joinLoop(std::shared_ptr<X11H264CaptureLoop> loop) {
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
      case X11CaptureError::Case::failed: return "Screen capture stopped: " + e.detail();
    }
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
  auto name = displayName_;
  const auto query = [name] {
    X11DisplayLayout layout;
    try {
      layout = readX11DisplayLayout(name);
    } catch (...) {
      throw startError(std::current_exception());
    }
    const auto area = layout.mainArea();
    if (!area) throw ScreenStreamError::noDisplay();
    return ScreenPixelSize{area->width, area->height};
  };
  co_return co_await runOn(strand_, runBlockingCall(query));
}

Awaitable<long long> ScreenCaptureKitH264Streamer::primaryDisplayDPIRate() {
  auto name = displayName_;
  const auto query = [name]() -> long long {
    try {
      return readX11DisplayLayout(name).scaleRate;
    } catch (...) {
      return 100;  // never fails: a display that cannot be asked counts as unscaled
    }
  };
  co_return co_await runOn(strand_, runBlockingCall(query));
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
  stream->handlers = std::move(handlers);
  stream->configuration = configuration;
  stream_ = stream;

  X11H264CaptureSettings settings;
  settings.displayName = displayName_;
  settings.targetWidth = toInt(configuration.targetWidth());
  settings.targetHeight = toInt(configuration.targetHeight());
  settings.showsCursor = configuration.showsCursor();
  settings.framesPerSecond = toInt(configuration.framesPerSecond());
  settings.averageBitrate = toInt(configuration.averageBitrate());
  settings.keyframeInterval = toInt(configuration.keyframeInterval());

  // The capture thread only posts to the strand; it never waits for the streamer or a handler.
  const std::weak_ptr<ScreenCaptureKitH264Streamer> weak = self;
  const auto id = stream->id;
  const auto strand = strand_;
  X11H264CaptureCallbacks callbacks;
  callbacks.onPicture = [weak, id, strand](EncodedPicture picture, CaptureTiming) {
    asio::post(
        strand,
        [weak, id, unit = EncodedScreenAccessUnit{std::move(picture.annexB), picture.isKeyframe}]() mutable {
          if (auto streamer = weak.lock()) streamer->acceptUnit(id, std::move(unit));
        });
  };
  callbacks.onFailure = [weak, id, strand](std::exception_ptr error) {
    asio::post(strand, [weak, id, text = screenStreamFailureText(error)]() mutable {
      if (auto streamer = weak.lock()) streamer->acceptFailure(id, std::move(text));
    });
  };

  const auto begin = [settings, callbacks] {
    return std::shared_ptr<X11H264CaptureLoop>(X11H264CaptureLoop::start(settings, callbacks));
  };
  std::shared_ptr<X11H264CaptureLoop> loop;
  std::exception_ptr failure;
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
  auto stream = std::exchange(stream_, nullptr);
  if (!stream) co_return;
  stream->active = false;
  stream->running = false;
  stream->pending.clear();
  auto loop = std::move(stream->loop);
  if (loop) co_await joinLoop(loop);
}

void ScreenCaptureKitH264Streamer::acceptUnit(std::uint64_t streamId, EncodedScreenAccessUnit unit) {
  const auto stream = stream_;
  if (!stream || stream->id != streamId || !stream->active) return;
  if (stream->awaitingKeyframe) {
    if (!unit.isKeyframe) return;
    stream->awaitingKeyframe = false;
  }
  if (stream->pending.size() >= maximumPendingUnits) {
    // The consumer fell behind: what waits is dropped, and the stream resumes with a keyframe.
    stream->pending.clear();
    if (!unit.isKeyframe) {
      stream->awaitingKeyframe = true;
      if (stream->loop) stream->loop->requestKeyframe();
      log_.notice("Screen stream consumer is behind; waiting access units dropped up to the next keyframe");
      return;
    }
  }
  stream->pending.emplace_back(std::move(unit));
  startDelivery(stream);
}

void ScreenCaptureKitH264Streamer::acceptFailure(std::uint64_t streamId, std::string text) {
  const auto stream = stream_;
  if (!stream || stream->id != streamId || !stream->active) return;
  log_.error("Screen stream failed: {}", text);
  stream->running = false;
  stream->awaitingKeyframe = false;
  stream->pending.emplace_back(std::move(text));
  // The capture thread ends by itself after reporting; it is joined off the strand.
  if (stream->loop) spawnTask(strand_, joinLoop(stream->loop), "screen capture join");
  startDelivery(stream);
}

void ScreenCaptureKitH264Streamer::startDelivery(const std::shared_ptr<Stream>& stream) {
  if (stream->delivering) return;
  stream->delivering = true;
  spawnTask(strand_, deliverOnStrand(shared_from_this(), stream), "screen stream delivery");
}

Awaitable<void> ScreenCaptureKitH264Streamer::deliverOnStrand(
    std::shared_ptr<ScreenCaptureKitH264Streamer> self, std::shared_ptr<Stream> stream) {
  // One unit at a time and in order; after a stop nothing more is handed out.
  while (stream->active && !stream->pending.empty()) {
    auto item = std::move(stream->pending.front());
    stream->pending.pop_front();
    try {
      if (auto* unit = std::get_if<EncodedScreenAccessUnit>(&item)) {
        if (stream->handlers.onAccessUnit) co_await callAccessUnit(stream->handlers, *unit);
      } else {
        // A failure ends the stream: nothing is delivered after it.
        stream->active = false;
        const auto& text = std::get<std::string>(item);
        if (stream->handlers.onFailure) co_await callFailure(stream->handlers, text);
        if (self->stream_ == stream) self->stream_.reset();
      }
    } catch (...) {
      self->log_.error("Screen stream handler threw: {}", localizedDescription(std::current_exception()));
    }
  }
  stream->delivering = false;
}

}  // namespace vantrel

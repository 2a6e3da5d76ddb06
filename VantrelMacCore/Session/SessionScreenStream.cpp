#include "Session/SessionScreenStream.hpp"

#include <algorithm>

#include "Protocol/LegacyScreenInfo.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/SessionErrors.hpp"

// docs/coroutine-rules.md, rule 7.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

constexpr std::uint32_t getScreenKind = 21;
constexpr std::uint32_t getScreenInfoKind = 25;
constexpr long long chunkBytes = 60'000;

// Texts kept out of the coroutine bodies (docs/coroutine-rules.md, rule 5).
constexpr std::string_view invalidRequestText = "GET_SCREEN payload failed ScreenInfo validation";
constexpr std::string_view unavailableText = "Screen streaming is not available.";
constexpr std::string_view gateRefusedText = "Update installation in progress";
constexpr std::string_view deniedFallbackText = "Screen Recording denied";

// The permission-denied error's text, or nothing when the error is something else.
std::optional<std::string> permissionDeniedText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ScreenStreamError& e) {
    if (!e.isPermissionDenied()) return std::nullopt;
    return e.errorDescription().value_or(std::string(deniedFallbackText));
  } catch (...) {
    return std::nullopt;
  }
}

[[gnu::noinline]] DirectAuthEvent::Kind streamError(std::string text) {
  return K::ScreenStreamError{std::move(text)};
}

}  // namespace

std::shared_ptr<SessionScreenStream> SessionScreenStream::create(
    std::shared_ptr<ScreenStreamingProviding> streamer, SessionScreenContext context) {
  auto screen =
      std::shared_ptr<SessionScreenStream>(new SessionScreenStream(std::move(streamer), std::move(context)));
  const std::weak_ptr<SessionScreenStream> weak = screen;
  screen->sender_ = LowLatencyScreenPacketSender::create(
      screen->context_.transport,
      [weak](EncodedScreenAccessUnit unit,
             std::uint64_t generation) -> std::optional<LowLatencyScreenPacketSender::Packet> {
        auto self = weak.lock();
        if (!self) return std::nullopt;
        return self->packetize(std::move(unit), generation);
      },
      [weak](LowLatencyScreenSendResult result) -> Awaitable<void> {
        return [](std::weak_ptr<SessionScreenStream> w, LowLatencyScreenSendResult r) -> Awaitable<void> {
          if (auto self = w.lock()) co_await self->handleSendResult(std::move(r));
        }(weak, std::move(result));
      });
  return screen;
}

SessionScreenStream::SessionScreenStream(std::shared_ptr<ScreenStreamingProviding> streamer,
                                         SessionScreenContext context)
    : streamer_(std::move(streamer)),
      context_(std::move(context)),
      restartTask_(context_.transport->executor(), "screen restart") {}

// ---------------------------------------------------------------------------------------------
// Requests

Awaitable<void> SessionScreenStream::handleRequest(Bytes payload, bool sendsInfoResponse) {
  if (!isLive()) co_return;
  const auto request = LegacyScreenInfoCodec::parse(payload);
  if (!request || request->kind != (sendsInfoResponse ? getScreenKind : getScreenInfoKind)) {
    context_.emit(streamError(std::string(invalidRequestText)));
    co_return;
  }
  if (!streamer_) {
    context_.emit(streamError(std::string(unavailableText)));
    co_return;
  }
  ActivityLeaseGuard requestLease(context_.gate->acquire(UpdateActivityGate::Kind::remoteScreen));
  if (!requestLease) {
    context_.emit(streamError(std::string(gateRefusedText)));
    co_return;
  }
  if (!activity_) {
    activity_ = context_.gate->acquire(UpdateActivityGate::Kind::remoteScreen);
    if (!activity_) co_return;
  }
  const Lease remembered = activity_;

  auto size = co_await vantrel::attempt(streamer_->primaryDisplaySize());
  if (!size) {
    if (auto denied = permissionDeniedText(size.error())) {
      context_.emit(K::ScreenPermissionDenied{std::move(*denied)});
      co_await stop("screen permission denied", false, false);
    } else {
      context_.emit(streamError("Primary display size unavailable: " + localizedDescription(size.error())));
      co_await stop("display unavailable", false, false);
    }
    co_return;
  }
  const ScreenPixelSize display = *size;
  // The density is a hint for the manager's scaling; 100 % stands in for an unknown one.
  const long long dpiRate = (co_await vantrel::attempt(streamer_->primaryDisplayDPIRate())).valueOr(100);
  if (!isLive() || activity_ != remembered) co_return;

  const auto chosen = LegacyScreenInfoCodec::chooseTargetSize(display.width, display.height,
                                                              request->picWidth, request->picHeight);
  const ScreenPixelSize target{chosen.width, chosen.height};
  const std::uint16_t comNum = context_.connectionNumber();
  context_.emit(K::ScreenRequest{display.width, display.height, target.width, target.height,
                                 request->showsCursor(), request->accel, comNum});
  if (sendsInfoResponse && !co_await sendInfoResponse(payload, display, target, dpiRate, comNum)) co_return;

  std::optional<Bytes> decoderReset;
  if (active_) decoderReset = LegacyScreenInfoCodec::makeDecoderResetResponse(payload, comNum);
  PendingStart pending{
      ++startCounter_,
      ScreenStreamConfiguration(display.width, display.height, target.width, target.height,
                                request->showsCursor(), framesPerSecond, averageBitrate, keyframeInterval),
      std::move(decoderReset), comNum};
  // Replaces any pending delayed start by a new one.
  restartTask_.start([weak = weak_from_this(), pending](TaskTokenPtr token) {
    return delayedStart(weak, std::move(token), pending);
  });
}

Awaitable<bool> SessionScreenStream::sendInfoResponse(Bytes request, ScreenPixelSize display,
                                                      ScreenPixelSize target, long long dpiRate,
                                                      std::uint16_t comNum) {
  std::optional<Bytes> reply;
  if (request.size() >= LegacyScreenInfoCodec::numericFieldsEndOffset &&
      LegacyTSocketDataKindProbe::probeKind(request) == getScreenKind) {
    reply = LegacyScreenInfoCodec::makeGetScreenInfoResponse(request, comNum, display.width, display.height,
                                                             target.width, target.height, dpiRate);
  }
  if (!reply) {
    context_.emit(streamError("Failed to build GET_SCREEN_INFO response"));
    co_await stop("invalid screen response", false, false);
    co_return false;
  }
  const auto replyBytes = static_cast<long long>(reply->size());
  auto sent = co_await vantrel::attempt(context_.sendHeaderBasicPayload(std::move(*reply), comNum));
  if (!sent) {
    co_await failAfterSend(sent.error(), "GET_SCREEN_INFO send failed: ");
    co_return false;
  }
  context_.emit(K::ScreenInfoResponseSent{comNum, replyBytes, display.width, display.height, target.width,
                                          target.height});
  co_return true;
}

Awaitable<void> SessionScreenStream::failAfterSend(std::exception_ptr failure, std::string_view what) {
  const std::string detail = transportDetail(failure);
  context_.emit(streamError(std::string(what) + detail));
  if (isLive()) co_await context_.failSession(DirectAuthError::transport(detail));
}

// ---------------------------------------------------------------------------------------------
// Delayed start

Awaitable<void> SessionScreenStream::delayedStart(std::weak_ptr<SessionScreenStream> weak, TaskTokenPtr token,
                                                  PendingStart pending) {
  co_await asio::this_coro::throw_if_cancelled(false);
  const bool slept = static_cast<bool>(co_await vantrel::attempt(sleepFor(restartDelay)));
  if (!slept || token->isCancelled()) co_return;
  auto self = weak.lock();
  if (!self) co_return;
  // This task is the pending start no longer; a stop from here on must not cancel it midway.
  if (self->restartTask_.token() == token) self->restartTask_.release();
  co_await self->startScheduled(std::move(pending));
}

Awaitable<void> SessionScreenStream::startScheduled(PendingStart pending) {
  if (!isLive() || !activity_ || !streamer_) co_return;
  const Lease remembered = activity_;
  ActivityLeaseGuard startLease(context_.gate->acquire(UpdateActivityGate::Kind::remoteScreen));
  if (!startLease) co_return;

  co_await stop("replaced by manager screen configuration", active_, true);
  if (!isLive() || activity_ != remembered) co_return;

  if (pending.decoderReset) {
    for (int copy = 0; copy < 2; ++copy) {
      auto sent =
          co_await vantrel::attempt(context_.sendHeaderBasicPayload(*pending.decoderReset, pending.comNum));
      if (!sent) {
        co_await failAfterSend(sent.error(), "Decoder reset notification failed: ");
        co_return;
      }
    }
    if (!isLive() || activity_ != remembered) co_return;
  }

  active_ = true;
  resetStatistics();
  runningStart_ = pending.start;
  const auto configuration = pending.configuration;
  ScreenStreamHandlers handlers = makeHandlers(pending.start, generation_);
  auto started = co_await vantrel::attempt(streamer_->start(configuration, std::move(handlers)));
  // A stop or a newer start may have come in while this one waited for the streamer (the
  // manager ended the stream, asked again, or a start took longer than the restart delay). The
  // streamer ended this start's stream then, and whatever came in owns the state, the lease,
  // a pending start and the events: this start leaves them all alone.
  const bool superseded = runningStart_ != pending.start;
  if (!started) {
    co_await reportStartFailure(started.error(), superseded, remembered);
    co_return;
  }
  if (superseded) co_return;
  if (isLive() && activity_ == remembered) {
    context_.emit(K::ScreenCaptureStarted{configuration.targetWidth(), configuration.targetHeight(),
                                          configuration.framesPerSecond()});
  } else {
    co_await stop("screen start cancelled", false, false);
  }
}

Awaitable<void> SessionScreenStream::reportStartFailure(std::exception_ptr failure, bool superseded,
                                                        Lease remembered) {
  if (!superseded) {
    active_ = false;
    runningStart_ = 0;
  }
  if (auto denied = permissionDeniedText(failure)) {
    context_.emit(K::ScreenPermissionDenied{std::move(*denied)});
    if (!superseded && activity_ == remembered) co_await stop("screen start denied", false, false);
  } else {
    context_.emit(streamError(localizedDescription(failure)));
    if (!superseded && activity_ && activity_ == remembered)
      co_await stop("screen start failed", false, false);
  }
}

// ---------------------------------------------------------------------------------------------
// Pictures from the streamer

ScreenStreamHandlers SessionScreenStream::makeHandlers(std::uint64_t start, std::uint64_t generation) {
  ScreenStreamHandlers handlers;
  // Called on the streamer's own thread: the picture goes straight into the packet slot.
  handlers.onAccessUnit = [sender = std::weak_ptr(sender_), generation](EncodedScreenAccessUnit unit) {
    if (auto s = sender.lock()) s->offer(generation, std::move(unit));
  };
  handlers.onFailure = [weak = weak_from_this(), strand = context_.transport->executor(),
                        start](std::string message) {
    spawnTask(strand, failureEntry(weak, start, std::move(message)), "screen stream failure");
  };
  return handlers;
}

std::optional<LowLatencyScreenPacketSender::Packet> SessionScreenStream::packetize(
    EncodedScreenAccessUnit unit, std::uint64_t generation) {
  // A picture of an earlier start would otherwise go out under the new stream's generation.
  if (generation != generation_ || !isLive() || !active_ || unit.annexBData.empty()) return std::nullopt;
  LowLatencyScreenPacketSender::Packet packet;
  const auto timestamp = context_.nextTimestamp();
  try {
    packet.data = VantrelFrameChunker::encodeAll(unit.annexBData, VantrelProtocol::headerScreenCommand,
                                                 timestamp, context_.connectionNumber());
  } catch (const std::exception& e) {
    context_.emit(streamError("Screen frame packet creation failed: " + localizedDescription(e)));
    return std::nullopt;
  }
  packet.metadata.generation = generation;
  packet.metadata.byteCount = unit.byteCount();
  packet.metadata.chunkCount =
      std::max<long long>(1, (packet.metadata.byteCount + chunkBytes - 1) / chunkBytes);
  packet.metadata.isKeyframe = unit.isKeyframe;
  return packet;
}

Awaitable<void> SessionScreenStream::handleSendResult(LowLatencyScreenSendResult result) {
  if (result.generation != generation_) co_return;
  if (result.kind == LowLatencyScreenSendResult::Case::failed) {
    const std::string detail = result.detail;
    context_.emit(streamError("Screen frame send failed: " + detail));
    co_await stop("send failure", true, false);
    if (result.transportDisconnected && isLive())
      co_await context_.failSession(DirectAuthError::transport(detail));
    co_return;
  }
  if (!isLive() || !active_) co_return;
  const auto& metadata = result.metadata;
  auto& stats = statistics_;
  ++stats.framesSent;
  stats.bytesSent += metadata.byteCount;
  if (metadata.isKeyframe) ++stats.keyframesSent;
  if (!stats.firstFrameLogged) {
    stats.firstFrameLogged = true;
    context_.emit(K::ScreenFirstEncodedFrame{metadata.byteCount, metadata.chunkCount, metadata.isKeyframe});
  }
  if (stats.framesSent - stats.framesAtLastEmit >= statisticsCadence) {
    stats.framesAtLastEmit = stats.framesSent;
    context_.emit(K::ScreenFrameStats{stats.framesSent, stats.bytesSent, stats.keyframesSent});
  }
}

Awaitable<void> SessionScreenStream::failureEntry(std::weak_ptr<SessionScreenStream> weak,
                                                  std::uint64_t start, std::string message) {
  auto self = weak.lock();
  // A failure of an earlier start must not end the stream that replaced it.
  if (!self || self->runningStart_ != start) co_return;
  if (!self->active_ && !self->isLive()) co_return;
  self->context_.emit(streamError(message));
  co_await self->stop(std::move(message), true, false);
}

// ---------------------------------------------------------------------------------------------
// Keyframes, stopping, reset

Awaitable<void> SessionScreenStream::requestKeyframe() {
  if (!active_ || !streamer_) co_return;
  // A keyframe request is a hint; the stream reports its own failures.
  co_await vantrel::attempt(streamer_->requestKeyframe());
}

Awaitable<void> SessionScreenStream::stop(std::string reason, bool emitEvent, bool preservingActivity) {
  const Lease remembered = activity_;
  restartTask_.cancel();
  ++generation_;
  runningStart_ = 0;
  sender_->discardPending();
  bool streamerWasStreaming = false;
  if (streamer_) streamerWasStreaming = (co_await vantrel::attempt(streamer_->isStreaming())).valueOr(false);
  const bool wasActive = active_;
  active_ = false;
  // Stopping is best effort; the streamer forgets its handlers either way.
  if (streamer_) co_await vantrel::attempt(streamer_->stop());
  if (!preservingActivity && activity_ && activity_ == remembered) {
    activity_->end();
    activity_.reset();
  }
  if (emitEvent && (wasActive || streamerWasStreaming)) context_.emit(K::ScreenStopped{std::move(reason)});
  resetStatistics();
}

void SessionScreenStream::reset() {
  if (activity_) {
    activity_->end();
    activity_.reset();
  }
  active_ = false;
  resetStatistics();
}

}  // namespace vantrel

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

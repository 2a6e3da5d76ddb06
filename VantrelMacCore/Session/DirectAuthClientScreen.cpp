// The screen side of `DirectAuthClient`: the manager's screen requests, the delayed (re)start of
// the stream, encoded pictures on their way to the packet sender, send results, streamer
// failures and stopping.

#include <asio/post.hpp>

#include <chrono>
#include <limits>

#include "Protocol/LegacyScreenInfo.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClient.hpp"

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
constexpr long long streamFramesPerSecond = 30;
constexpr long long streamAverageBitrate = 8'000'000;
constexpr long long streamKeyframeInterval = 60;
constexpr auto restartDelay = std::chrono::milliseconds(120);
constexpr long long statisticsCadence = 30;
constexpr long long chunkBytes = 60'000;

// Texts kept out of the coroutine bodies (docs/coroutine-rules.md, rule 5).
constexpr std::string_view invalidRequestText = "GET_SCREEN payload failed ScreenInfo validation";
constexpr std::string_view gateRefusedText = "Update installation in progress";
constexpr std::string_view deniedFallbackText = "Screen Recording denied";

// The description of a screen failure: the error's own description when it has one, else its
// localized description.
std::string screenFailureText(const std::exception_ptr& error) { return localizedDescription(error); }

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

Awaitable<void> finished() { co_return; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests

Awaitable<void> DirectAuthClient::handleScreenRequest(Bytes payload, bool sendsInfoResponse) {
  if (!isLive()) co_return;
  const auto request = LegacyScreenInfoCodec::parse(payload);
  if (!request || request->kind != (sendsInfoResponse ? getScreenKind : getScreenInfoKind)) {
    emit(K::ScreenStreamError{std::string(invalidRequestText)});
    co_return;
  }
  if (!screenStreamer_) {
    emit(K::ScreenStreamError{"Screen streaming is not available."});
    co_return;
  }
  ActivityLeaseGuard requestLease(updateActivityGate_->acquire(UpdateActivityGate::Kind::remoteScreen));
  if (!requestLease) {
    emit(K::ScreenStreamError{std::string(gateRefusedText)});
    co_return;
  }
  if (!screenActivity_) {
    screenActivity_ = updateActivityGate_->acquire(UpdateActivityGate::Kind::remoteScreen);
    if (!screenActivity_) co_return;
  }
  const Lease remembered = screenActivity_;

  ScreenPixelSize display;
  std::exception_ptr sizeFailure;
  try {
    display = co_await screenStreamer_->primaryDisplaySize();
  } catch (...) {
    sizeFailure = std::current_exception();
  }
  if (sizeFailure) {
    if (auto denied = permissionDeniedText(sizeFailure)) {
      emit(K::ScreenPermissionDenied{std::move(*denied)});
      std::string reason = "screen permission denied";
      co_await stopScreenStream(std::move(reason), false, false);
    } else {
      emit(K::ScreenStreamError{"Primary display size unavailable: " + screenFailureText(sizeFailure)});
      std::string reason = "display unavailable";
      co_await stopScreenStream(std::move(reason), false, false);
    }
    co_return;
  }
  long long dpiRate = 100;
  try {
    dpiRate = co_await screenStreamer_->primaryDisplayDPIRate();
  } catch (...) {
    // The density is a hint for the manager's scaling; 100 % stands in for an unknown one.
  }
  if (!isLive() || screenActivity_ != remembered) co_return;

  const auto target = LegacyScreenInfoCodec::chooseTargetSize(display.width, display.height,
                                                              request->picWidth, request->picHeight);
  const std::uint16_t comNum = activeConnectionNumber_;
  emit(K::ScreenRequest{display.width, display.height, target.width, target.height, request->showsCursor(),
                        request->accel, comNum});

  if (sendsInfoResponse) {
    std::optional<Bytes> reply;
    if (payload.size() >= LegacyScreenInfoCodec::numericFieldsEndOffset &&
        LegacyTSocketDataKindProbe::probeKind(payload) == getScreenKind) {
      reply = LegacyScreenInfoCodec::makeGetScreenInfoResponse(payload, comNum, display.width, display.height,
                                                               target.width, target.height, dpiRate);
    }
    if (!reply) {
      emit(K::ScreenStreamError{"Failed to build GET_SCREEN_INFO response"});
      std::string reason = "invalid screen response";
      co_await stopScreenStream(std::move(reason), false, false);
      co_return;
    }
    const auto replyBytes = static_cast<long long>(reply->size());
    std::exception_ptr sendFailure;
    try {
      co_await sendHeaderBasicPayload(std::move(*reply), comNum);
    } catch (...) {
      sendFailure = std::current_exception();
    }
    if (sendFailure) {
      const std::string detail = transportDetail(sendFailure);
      emit(K::ScreenStreamError{"GET_SCREEN_INFO send failed: " + detail});
      if (isLive()) {
        DirectAuthError error = DirectAuthError::transport(detail);
        co_await failFromReceiveLoop(std::move(error));
      }
      co_return;
    }
    emit(K::ScreenInfoResponseSent{comNum, replyBytes, display.width, display.height, target.width,
                                   target.height});
  }

  std::optional<Bytes> decoderReset;
  if (screenStreamActive_) {
    decoderReset = LegacyScreenInfoCodec::makeDecoderResetResponse(payload, activeConnectionNumber_);
  }
  ScreenStreamConfiguration configuration(display.width, display.height, target.width, target.height,
                                          request->showsCursor(), streamFramesPerSecond, streamAverageBitrate,
                                          streamKeyframeInterval);
  auto mailbox = std::make_shared<ScreenUnitMailbox>(++screenStartCounter_);
  scheduleScreenStreamRestart(configuration, std::move(mailbox), std::move(decoderReset),
                              activeConnectionNumber_);
}

// ---------------------------------------------------------------------------------------------
// Delayed start

void DirectAuthClient::scheduleScreenStreamRestart(ScreenStreamConfiguration configuration,
                                                   std::shared_ptr<ScreenUnitMailbox> mailbox,
                                                   std::optional<Bytes> decoderResetPayload,
                                                   std::uint16_t comNum) {
  screenRestartTask_.cancel();
  screenRestartTask_.start([weak = weak_from_this(), configuration, mailbox, decoderResetPayload,
                            comNum](TaskTokenPtr token) {
    return delayedScreenStart(weak, std::move(token), configuration, mailbox, decoderResetPayload, comNum);
  });
}

Awaitable<void> DirectAuthClient::delayedScreenStart(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token,
                                                     ScreenStreamConfiguration configuration,
                                                     std::shared_ptr<ScreenUnitMailbox> mailbox,
                                                     std::optional<Bytes> decoderResetPayload,
                                                     std::uint16_t comNum) {
  co_await asio::this_coro::throw_if_cancelled(false);
  bool slept = true;
  try {
    co_await sleepFor(restartDelay);
  } catch (...) {
    slept = false;
  }
  if (!slept || token->isCancelled()) co_return;
  auto self = weak.lock();
  if (!self) co_return;
  // This task is the pending start no longer; a stop from here on must not cancel it midway.
  if (self->screenRestartTask_.token() == token) self->screenRestartTask_.release();
  co_await self->startScheduledScreenStream(configuration, std::move(mailbox), std::move(decoderResetPayload),
                                            comNum);
}

Awaitable<void> DirectAuthClient::startScheduledScreenStream(ScreenStreamConfiguration configuration,
                                                             std::shared_ptr<ScreenUnitMailbox> mailbox,
                                                             std::optional<Bytes> decoderResetPayload,
                                                             std::uint16_t comNum) {
  if (!isLive() || !screenActivity_ || !screenStreamer_) co_return;
  const Lease remembered = screenActivity_;
  ActivityLeaseGuard startLease(updateActivityGate_->acquire(UpdateActivityGate::Kind::remoteScreen));
  if (!startLease) co_return;

  const bool wasActive = screenStreamActive_;
  std::string reason = "replaced by manager screen configuration";
  co_await stopScreenStream(std::move(reason), wasActive, true);
  if (!isLive() || screenActivity_ != remembered) co_return;

  if (decoderResetPayload) {
    std::exception_ptr failure;
    for (int copy = 0; copy < 2 && !failure; ++copy) {
      Bytes resetCopy = *decoderResetPayload;
      try {
        co_await sendHeaderBasicPayload(std::move(resetCopy), comNum);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) {
      const std::string detail = transportDetail(failure);
      emit(K::ScreenStreamError{"Decoder reset notification failed: " + detail});
      if (isLive()) {
        DirectAuthError error = DirectAuthError::transport(detail);
        co_await failFromReceiveLoop(std::move(error));
      }
      co_return;
    }
    if (!isLive() || screenActivity_ != remembered) co_return;
  }

  screenStreamActive_ = true;
  screenFramesSent_ = 0;
  screenBytesSent_ = 0;
  screenKeyframesSent_ = 0;
  screenStatsFramesAtLastEmit_ = 0;
  screenFirstFrameLogged_ = false;
  closeScreenMailbox();
  screenMailbox_ = mailbox;

  const auto targetWidth = configuration.targetWidth();
  const auto targetHeight = configuration.targetHeight();
  const auto fps = configuration.framesPerSecond();
  ScreenStreamHandlers handlers = makeScreenStreamHandlers(mailbox);
  std::exception_ptr startFailure;
  try {
    co_await screenStreamer_->start(configuration, std::move(handlers));
  } catch (...) {
    startFailure = std::current_exception();
  }
  // A newer start may have taken the stream over while this one waited for the streamer (a start
  // that takes longer than the restart delay); it then owns the stream, its state and its
  // events, and this one leaves them alone.
  const bool superseded =
      screenMailbox_ != mailbox && isLive() && screenActivity_ == remembered && screenMailbox_ != nullptr;
  if (startFailure) {
    if (!superseded) {
      screenStreamActive_ = false;
      closeScreenMailbox();
    }
    if (auto denied = permissionDeniedText(startFailure)) {
      emit(K::ScreenPermissionDenied{std::move(*denied)});
      if (!superseded && screenActivity_ == remembered) {
        std::string reason = "screen start denied";
        co_await stopScreenStream(std::move(reason), false, false);
      }
    } else {
      emit(K::ScreenStreamError{screenFailureText(startFailure)});
      if (!superseded && screenActivity_ && screenActivity_ == remembered) {
        std::string reason = "screen start failed";
        co_await stopScreenStream(std::move(reason), false, false);
      }
    }
    co_return;
  }
  if (superseded) co_return;
  if (isLive() && screenActivity_ == remembered && screenMailbox_ == mailbox) {
    emit(K::ScreenCaptureStarted{targetWidth, targetHeight, fps});
  } else {
    std::string reason = "screen start cancelled";
    co_await stopScreenStream(std::move(reason), false, false);
  }
}

// ---------------------------------------------------------------------------------------------
// Pictures from the streamer

ScreenStreamHandlers DirectAuthClient::makeScreenStreamHandlers(
    const std::shared_ptr<ScreenUnitMailbox>& mailbox) {
  ScreenStreamHandlers handlers;
  const Executor strand = strand_;
  // Called on the streamer's own context: store and, when needed, schedule one drain on the
  // session's strand. Nothing here waits for the session.
  handlers.onAccessUnit = [weak = weak_from_this(), mailbox, strand](EncodedScreenAccessUnit unit) {
    if (mailbox->put(std::move(unit)) == ScreenUnitMailbox::PutResult::scheduleDrain) {
      asio::post(strand, [weak, mailbox] { drainScreenMailbox(weak, mailbox); });
    }
    return finished();
  };
  handlers.onFailure = [weak = weak_from_this(), mailbox, strand](std::string message) {
    spawnTask(strand, screenFailureEntry(weak, mailbox, std::move(message)), "screen stream failure");
    return finished();
  };
  return handlers;
}

void DirectAuthClient::drainScreenMailbox(std::weak_ptr<DirectAuthClient> weak,
                                          std::shared_ptr<ScreenUnitMailbox> mailbox) {
  // Runs on the strand. Handling a unit never suspends, so the loop ends quickly; a unit that
  // arrives after the last `take` schedules the next drain itself.
  while (auto unit = mailbox->take()) {
    auto self = weak.lock();
    if (!self) {
      mailbox->close();
      return;
    }
    self->handleEncodedScreenAccessUnit(*mailbox, std::move(*unit));
  }
}

void DirectAuthClient::handleEncodedScreenAccessUnit(const ScreenUnitMailbox& mailbox,
                                                     EncodedScreenAccessUnit unit) {
  // A unit of an earlier start would otherwise go out under the new stream's generation.
  if (!screenMailbox_ || screenMailbox_.get() != &mailbox) return;
  if (!isLive() || !screenStreamActive_ || unit.annexBData.empty()) return;
  const auto timestamp = nextTimestamp();
  // The unit's frames, joined in order into one buffer, built in place.
  Bytes joined;
  try {
    joined = VantrelFrameChunker::encodeAll(unit.annexBData, VantrelProtocol::headerScreenCommand, timestamp,
                                            activeConnectionNumber_);
  } catch (const std::exception& e) {
    emit(K::ScreenStreamError{"Screen frame packet creation failed: " + localizedDescription(e)});
    return;
  }

  LowLatencyScreenPacketMetadata metadata;
  metadata.generation = screenStreamGeneration_;
  metadata.byteCount = unit.byteCount();
  metadata.chunkCount = std::max<long long>(1, (metadata.byteCount + chunkBytes - 1) / chunkBytes);
  metadata.isKeyframe = unit.isKeyframe;
  screenPacketSender_->enqueue(std::move(joined), metadata,
                               [weak = weak_from_this()](LowLatencyScreenSendResult result) {
                                 return screenSendResultEntry(weak, std::move(result));
                               });
}

Awaitable<void> DirectAuthClient::screenSendResultEntry(std::weak_ptr<DirectAuthClient> weak,
                                                        LowLatencyScreenSendResult result) {
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->handleScreenPacketSendResult(std::move(result));
}

Awaitable<void> DirectAuthClient::handleScreenPacketSendResult(LowLatencyScreenSendResult result) {
  if (result.generation != screenStreamGeneration_) co_return;
  if (result.kind == LowLatencyScreenSendResult::Case::failed) {
    const std::string detail = result.detail;
    emit(K::ScreenStreamError{"Screen frame send failed: " + detail});
    std::string reason = "send failure";
    co_await stopScreenStream(std::move(reason), true, false);
    if (result.transportDisconnected && isLive()) {
      DirectAuthError error = DirectAuthError::transport(detail);
      co_await failFromReceiveLoop(std::move(error));
    }
    co_return;
  }
  if (!isLive() || !screenStreamActive_) co_return;
  const auto& metadata = result.metadata;
  ++screenFramesSent_;
  screenBytesSent_ += metadata.byteCount;
  if (metadata.isKeyframe) ++screenKeyframesSent_;
  if (!screenFirstFrameLogged_) {
    screenFirstFrameLogged_ = true;
    emit(K::ScreenFirstEncodedFrame{metadata.byteCount, metadata.chunkCount, metadata.isKeyframe});
  }
  if (screenFramesSent_ - screenStatsFramesAtLastEmit_ >= statisticsCadence) {
    screenStatsFramesAtLastEmit_ = screenFramesSent_;
    emit(K::ScreenFrameStats{screenFramesSent_, screenBytesSent_, screenKeyframesSent_});
  }
}

Awaitable<void> DirectAuthClient::screenFailureEntry(std::weak_ptr<DirectAuthClient> weak,
                                                     std::shared_ptr<ScreenUnitMailbox> mailbox,
                                                     std::string message) {
  auto self = weak.lock();
  if (!self) co_return;
  // A failure of an earlier start must not end the stream that replaced it.
  if (self->screenMailbox_ != mailbox) co_return;
  co_await self->handleScreenStreamerFailure(std::move(message));
}

Awaitable<void> DirectAuthClient::handleScreenStreamerFailure(std::string message) {
  if (!screenStreamActive_ && state_ != DirectAuthState::authenticated) co_return;
  emit(K::ScreenStreamError{message});
  co_await stopScreenStream(std::move(message), true, false);
}

void DirectAuthClient::closeScreenMailbox() {
  if (screenMailbox_) screenMailbox_->close();
  screenMailbox_.reset();
}

// ---------------------------------------------------------------------------------------------
// Stopping

Awaitable<void> DirectAuthClient::stopScreenStream(std::string reason, bool emitEvent,
                                                   bool preservingActivity) {
  const Lease remembered = screenActivity_;
  screenRestartTask_.cancel();
  ++screenStreamGeneration_;
  closeScreenMailbox();
  screenPacketSender_->discardPending();
  bool streamerWasStreaming = false;
  if (screenStreamer_) {
    try {
      streamerWasStreaming = co_await screenStreamer_->isStreaming();
    } catch (...) {
      streamerWasStreaming = false;
    }
  }
  const bool wasActive = screenStreamActive_;
  screenStreamActive_ = false;
  if (screenStreamer_) {
    try {
      co_await screenStreamer_->stop();
    } catch (...) {
      // Stopping is best effort; the streamer forgets its handlers either way.
    }
  }
  if (!preservingActivity && screenActivity_ && screenActivity_ == remembered) {
    screenActivity_->end();
    screenActivity_.reset();
  }
  if (emitEvent && (wasActive || streamerWasStreaming)) emit(K::ScreenStopped{std::move(reason)});
  screenFramesSent_ = 0;
  screenBytesSent_ = 0;
  screenKeyframesSent_ = 0;
  screenFirstFrameLogged_ = false;
  screenStatsFramesAtLastEmit_ = 0;
}

}  // namespace vantrel

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The screen side of `DirectAuthClient`: stopping the stream (used by disconnect and by both
// failure paths) and the screen requests of the manager.

#include "Session/DirectAuthClient.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

Awaitable<void> DirectAuthClient::handleScreenRequest(Bytes payload, bool sendsInfoResponse) {
  // Screen streaming is served by a later part of the session; until then the request is
  // answered the way a stream that cannot start is: with a screen stream error, nothing sent.
  (void)payload;
  (void)sendsInfoResponse;
  emit(K::ScreenStreamError{"Screen streaming is not available in this build."});
  co_return;
}

Awaitable<void> DirectAuthClient::stopScreenStream(std::string reason, bool emitEvent,
                                                   bool preservingActivity) {
  const Lease remembered = screenActivity_;
  screenRestartTask_.cancel();
  ++screenStreamGeneration_;
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

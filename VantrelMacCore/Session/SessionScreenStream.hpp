#pragma once

// The screen of one manager session: the manager's screen requests (GET_SCREEN, GET_SCREEN_INFO),
// the delayed (re)start of the stream, pictures on their way to the manager through the one
// packet slot, send results, streamer failures, statistics and stopping. Lives on the session's
// strand; what it needs of the session comes through `SessionScreenContext`.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Activity/UpdateActivityGate.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/DirectAuthTypes.hpp"
#include "Session/LowLatencyScreenPacketSender.hpp"
#include "Session/ScreenStreamingProviding.hpp"
#include "Support/Async.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

struct SessionScreenContext {
  std::shared_ptr<NetworkTransporting> transport;  // its executor is the session's strand
  std::shared_ptr<UpdateActivityGate> gate;
  std::function<bool()> isLive;                     // authenticated and not disconnecting
  std::function<std::uint16_t()> connectionNumber;  // the registered connection's number
  std::function<std::uint16_t()> nextTimestamp;     // the session's frame stamp counter
  std::function<Awaitable<void>(Bytes payload, std::uint16_t comNum)> sendHeaderBasicPayload;
  std::function<void(DirectAuthEvent::Kind)> emit;
  // Ends the session after a failed send (the receive loop's failure path).
  std::function<Awaitable<void>(DirectAuthError)> failSession;
};

class SessionScreenStream : public std::enable_shared_from_this<SessionScreenStream> {
 public:
  static constexpr long long framesPerSecond = 30;
  static constexpr long long averageBitrate = 8'000'000;
  static constexpr long long keyframeInterval = 60;
  static constexpr auto restartDelay = std::chrono::milliseconds(120);
  static constexpr long long statisticsCadence = 30;  // pictures between two statistics events

  // Without a streamer every request is answered with "Screen streaming is not available.".
  static std::shared_ptr<SessionScreenStream> create(std::shared_ptr<ScreenStreamingProviding> streamer,
                                                     SessionScreenContext context);

  // A GET_SCREEN (`sendsInfoResponse`) or GET_SCREEN_INFO envelope.
  Awaitable<void> handleRequest(Bytes payload, bool sendsInfoResponse);
  // Stops the stream and, unless `preservingActivity`, ends its activity lease.
  Awaitable<void> stop(std::string reason, bool emitEvent, bool preservingActivity);
  // The manager asked for a keyframe; a hint, without effect when nothing streams.
  Awaitable<void> requestKeyframe();
  // The session was reset: the activity ends, the stream counts as stopped. Sends nothing.
  void reset();

  bool isActive() const noexcept { return active_; }
  const std::shared_ptr<LowLatencyScreenPacketSender>& packetSender() const noexcept { return sender_; }

 private:
  using Lease = std::shared_ptr<UpdateActivityGate::Lease>;
  struct Statistics {
    long long framesSent = 0;
    long long bytesSent = 0;
    long long keyframesSent = 0;
    long long framesAtLastEmit = 0;
    bool firstFrameLogged = false;
  };
  struct PendingStart {
    std::uint64_t start = 0;
    ScreenStreamConfiguration configuration;
    std::optional<Bytes> decoderReset;
    std::uint16_t comNum = 0;
  };

  SessionScreenStream(std::shared_ptr<ScreenStreamingProviding> streamer, SessionScreenContext context);
  bool isLive() const { return context_.isLive(); }
  void resetStatistics() noexcept { statistics_ = {}; }
  Awaitable<bool> sendInfoResponse(Bytes request, ScreenPixelSize display, ScreenPixelSize target,
                                   long long dpiRate, std::uint16_t comNum);
  Awaitable<void> failAfterSend(std::exception_ptr failure, std::string_view what);
  static Awaitable<void> delayedStart(std::weak_ptr<SessionScreenStream> weak, TaskTokenPtr token,
                                      PendingStart pending);
  Awaitable<void> startScheduled(PendingStart pending);
  Awaitable<void> reportStartFailure(std::exception_ptr failure, bool superseded, Lease remembered);
  ScreenStreamHandlers makeHandlers(std::uint64_t start, std::uint64_t generation);
  std::optional<LowLatencyScreenPacketSender::Packet> packetize(EncodedScreenAccessUnit unit,
                                                                std::uint64_t generation);
  Awaitable<void> handleSendResult(LowLatencyScreenSendResult result);
  static Awaitable<void> failureEntry(std::weak_ptr<SessionScreenStream> weak, std::uint64_t start,
                                      std::string message);

  const std::shared_ptr<ScreenStreamingProviding> streamer_;
  const SessionScreenContext context_;
  std::shared_ptr<LowLatencyScreenPacketSender> sender_;
  TaskSlot restartTask_;
  bool active_ = false;
  Lease activity_;
  // Bumped by every stop: pictures and send results of an earlier generation are stale.
  std::uint64_t generation_ = 0;
  // The start whose handlers are current (0: none); a failure of any other start is stale.
  std::uint64_t runningStart_ = 0;
  std::uint64_t startCounter_ = 0;
  Statistics statistics_;
};

}  // namespace vantrel

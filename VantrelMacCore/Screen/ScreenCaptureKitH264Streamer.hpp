#pragma once

// The session's screen streamer: the main display of the X server captured, scaled and encoded
// to H.264 on a thread of its own, each access unit handed from that thread to the stream's
// handlers in order, without any queue in between.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Session/ScreenStreamingProviding.hpp"
#include "Support/Async.hpp"
#include "Support/Clock.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

class H264CaptureLoop;

class ScreenCaptureKitH264Streamer final : public ScreenStreamingProviding,
                                           public std::enable_shared_from_this<ScreenCaptureKitH264Streamer> {
 public:
  // Nothing is captured until `start`. `displayName` replaces DISPLAY (tests).
  static std::shared_ptr<ScreenCaptureKitH264Streamer> create(
      Executor executor, std::optional<std::string> displayName = std::nullopt);
  // Ends a running capture thread (waits for it).
  ~ScreenCaptureKitH264Streamer() override;

  Awaitable<ScreenPixelSize> primaryDisplaySize() override;
  // The density read along with the latest size when that was not asked for yet; else read anew.
  Awaitable<long long> primaryDisplayDPIRate() override;
  Awaitable<void> start(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers) override;
  // `stop()` returns once no capture thread of this streamer is left: also one that a start still
  // under way sets up, or that another stop or a failure is still joining.
  Awaitable<void> stop() override;
  Awaitable<void> requestKeyframe() override;
  Awaitable<bool> isStreaming() override;

  const Strand& strand() const noexcept { return strand_; }

 private:
  struct Delivery;
  struct Stream;
  class Unsettled;

  ScreenCaptureKitH264Streamer(Executor executor, std::optional<std::string> displayName);

  Awaitable<ScreenPixelSize> primaryDisplaySizeOnStrand();
  Awaitable<long long> primaryDisplayDPIRateOnStrand();
  Awaitable<void> startOnStrand(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers);
  Awaitable<void> stopOnStrand();
  // On the strand, after the capture thread reported a failure: the stream is over.
  void acceptFailure(std::uint64_t streamId, std::string text);
  // On the strand: returns once no capture thread is being set up or joined (or the caller is
  // cancelled).
  Awaitable<void> settled();

  Strand strand_;
  std::optional<std::string> displayName_;
  std::shared_ptr<Stream> stream_;  // the running stream, or none
  std::uint64_t lastStreamId_ = 0;
  // Capture threads being set up by a start or joined after a stop or a failure (on the strand),
  // and the stops waiting for that to end.
  int unsettled_ = 0;
  std::vector<std::shared_ptr<Timer>> settleWaiters_;
  // The density read along with the latest size, until the density is asked for (on the strand).
  std::optional<long long> scaleRateOfLastSize_;
  SystemLog log_{"local.vantrel.VantrelMac", "screen"};
};

// The failure text of a capture or encoding error (what the stream's onFailure receives).
std::string screenStreamFailureText(const std::exception_ptr& error);

}  // namespace vantrel

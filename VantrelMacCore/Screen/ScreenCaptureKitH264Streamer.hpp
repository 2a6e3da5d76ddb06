#pragma once

// The session's screen streamer: the main display of the X server captured, scaled and encoded
// to H.264 on a thread of its own, each access unit handed to the stream's handlers in order.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "Session/ScreenStreamingProviding.hpp"
#include "Support/Async.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

class X11H264CaptureLoop;

class ScreenCaptureKitH264Streamer final : public ScreenStreamingProviding,
                                           public std::enable_shared_from_this<ScreenCaptureKitH264Streamer> {
 public:
  // Nothing is captured until `start`. `displayName` replaces DISPLAY (tests).
  static std::shared_ptr<ScreenCaptureKitH264Streamer> create(
      Executor executor, std::optional<std::string> displayName = std::nullopt);
  // Ends a running capture thread (waits for it).
  ~ScreenCaptureKitH264Streamer() override;

  Awaitable<ScreenPixelSize> primaryDisplaySize() override;
  Awaitable<long long> primaryDisplayDPIRate() override;
  Awaitable<void> start(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers) override;
  Awaitable<void> stop() override;
  Awaitable<void> requestKeyframe() override;
  Awaitable<bool> isStreaming() override;

  // Access units waiting for the handlers beyond this many are dropped up to the next keyframe,
  // which is requested at once: a slow consumer sees a gap, never a growing backlog.
  static constexpr std::size_t maximumPendingUnits = 8;

  const Strand& strand() const noexcept { return strand_; }

 private:
  struct Stream;
  using PendingItem = std::variant<EncodedScreenAccessUnit, std::string>;

  ScreenCaptureKitH264Streamer(Executor executor, std::optional<std::string> displayName);

  Awaitable<void> startOnStrand(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers);
  Awaitable<void> stopOnStrand();
  // Called on the strand with what the capture thread posted.
  void acceptUnit(std::uint64_t streamId, EncodedScreenAccessUnit unit);
  void acceptFailure(std::uint64_t streamId, std::string text);
  void startDelivery(const std::shared_ptr<Stream>& stream);
  static Awaitable<void> deliverOnStrand(std::shared_ptr<ScreenCaptureKitH264Streamer> self,
                                         std::shared_ptr<Stream> stream);

  Strand strand_;
  std::optional<std::string> displayName_;
  std::shared_ptr<Stream> stream_;  // the running stream, or none
  std::uint64_t lastStreamId_ = 0;
  SystemLog log_{"local.vantrel.VantrelMac", "screen"};
};

// The failure text of a capture or encoding error (what the stream's onFailure receives).
std::string screenStreamFailureText(const std::exception_ptr& error);

}  // namespace vantrel

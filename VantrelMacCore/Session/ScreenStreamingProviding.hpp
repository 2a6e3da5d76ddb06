#pragma once

// How a session reaches the screen: the display's size and density, an H.264 stream started
// with a configuration and delivered through handlers, and keyframe requests.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Support/Async.hpp"
#include "Support/Bytes.hpp"
#include "Support/Error.hpp"
#include "Support/HandOffCredit.hpp"

namespace vantrel {

struct ScreenPixelSize {
  long long width = 0;
  long long height = 0;
  friend bool operator==(const ScreenPixelSize&, const ScreenPixelSize&) = default;
};

class ScreenStreamConfiguration {
 public:
  // Sizes and the cursor flag are kept as given; the rate and the keyframe interval are at
  // least 1; without a bitrate the recommended one for the target size is used.
  ScreenStreamConfiguration(long long sourceWidth, long long sourceHeight, long long targetWidth,
                            long long targetHeight, bool showsCursor, long long framesPerSecond,
                            std::optional<long long> averageBitrate, long long keyframeInterval);

  long long sourceWidth() const noexcept { return sourceWidth_; }
  long long sourceHeight() const noexcept { return sourceHeight_; }
  long long targetWidth() const noexcept { return targetWidth_; }
  long long targetHeight() const noexcept { return targetHeight_; }
  bool showsCursor() const noexcept { return showsCursor_; }
  long long framesPerSecond() const noexcept { return framesPerSecond_; }
  long long averageBitrate() const noexcept { return averageBitrate_; }
  long long keyframeInterval() const noexcept { return keyframeInterval_; }

  friend bool operator==(const ScreenStreamConfiguration&, const ScreenStreamConfiguration&) = default;

 private:
  long long sourceWidth_;
  long long sourceHeight_;
  long long targetWidth_;
  long long targetHeight_;
  bool showsCursor_;
  long long framesPerSecond_;
  long long averageBitrate_;
  long long keyframeInterval_;
};

// One encoded picture: Annex-B bytes (parameter sets first on keyframes).
struct EncodedScreenAccessUnit {
  Bytes annexBData;
  bool isKeyframe = false;
  // Whoever holds this holds up the next picture: the streamer takes none while it is held.
  // The sender keeps it until the picture has been sent (or dropped); anyone else lets it go
  // with the picture.
  HandOffCredit::Ticket handOff = {};
  long long byteCount() const noexcept { return static_cast<long long>(annexBData.size()); }
};

// Called on the streamer's own thread, in encoding order. They hand the value over and return
// at once: the capture thread never waits on a session (it only takes no new picture while a
// unit's hand-off ticket is held).
struct ScreenStreamHandlers {
  std::function<void(EncodedScreenAccessUnit)> onAccessUnit;
  std::function<void(std::string)> onFailure;  // a text meant for display; the last call
};

class ScreenStreamError : public Error {
 public:
  enum class Case { startFailed, encodeFailed, screenRecordingDenied, noDisplay };

  static ScreenStreamError startFailed(std::string text) { return {Case::startFailed, std::move(text)}; }
  static ScreenStreamError encodeFailed(std::string text) { return {Case::encodeFailed, std::move(text)}; }
  static ScreenStreamError screenRecordingDenied() { return {Case::screenRecordingDenied, {}}; }
  static ScreenStreamError noDisplay() { return {Case::noDisplay, {}}; }

  Case kind() const noexcept { return case_; }
  const std::string& text() const noexcept { return text_; }
  bool isPermissionDenied() const noexcept { return case_ == Case::screenRecordingDenied; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.ScreenStreamError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const ScreenStreamError& a, const ScreenStreamError& b) {
    return a.case_ == b.case_ && a.text_ == b.text_;
  }

 private:
  ScreenStreamError(Case c, std::string text) : case_(c), text_(std::move(text)) {}
  Case case_;
  std::string text_;
};

class ScreenStreamingProviding {
 public:
  virtual ~ScreenStreamingProviding() = default;

  // Throws `ScreenStreamError` (`screenRecordingDenied` when that is the reason) or another error.
  virtual Awaitable<ScreenPixelSize> primaryDisplaySize() = 0;
  // Pixel density in percent of the point size (100 when pixels equal points).
  virtual Awaitable<long long> primaryDisplayDPIRate() = 0;
  // Starts or restarts the stream; afterwards every picture arrives through `onAccessUnit` in
  // encoding order and a later failure through `onFailure`. After a throw no handler runs. A stop
  // or another start that comes in while this start is still under way ends the stream this
  // start makes: it returns, and its handlers never run.
  virtual Awaitable<void> start(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers) = 0;
  // Ends the stream; no handler is called afterwards. Harmless when nothing streams.
  virtual Awaitable<void> stop() = 0;
  // The next picture is a keyframe.
  virtual Awaitable<void> requestKeyframe() = 0;
  virtual Awaitable<bool> isStreaming() = 0;
};

// Streams nothing: a 1280 x 720 display at 100 %, starts that never deliver.
class NullScreenStreamer final : public ScreenStreamingProviding {
 public:
  Awaitable<ScreenPixelSize> primaryDisplaySize() override;
  Awaitable<long long> primaryDisplayDPIRate() override;
  Awaitable<void> start(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers) override;
  Awaitable<void> stop() override;
  Awaitable<void> requestKeyframe() override;
  Awaitable<bool> isStreaming() override;
};

}  // namespace vantrel

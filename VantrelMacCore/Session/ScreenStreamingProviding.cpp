#include "Session/ScreenStreamingProviding.hpp"

#include "Protocol/LegacyScreenInfo.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel {

ScreenStreamConfiguration::ScreenStreamConfiguration(long long sourceWidth, long long sourceHeight,
                                                     long long targetWidth, long long targetHeight,
                                                     bool showsCursor, long long framesPerSecond,
                                                     std::optional<long long> averageBitrate,
                                                     long long keyframeInterval)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      targetWidth_(targetWidth),
      targetHeight_(targetHeight),
      showsCursor_(showsCursor),
      framesPerSecond_(std::max<long long>(1, framesPerSecond)),
      averageBitrate_(averageBitrate ? *averageBitrate
                                     : LegacyScreenInfoCodec::recommendedBitrate(targetWidth, targetHeight)),
      keyframeInterval_(std::max<long long>(1, keyframeInterval)) {}

std::optional<std::string> ScreenStreamError::errorDescription() const {
  switch (case_) {
    case Case::startFailed: return "Screen stream start failed: " + text_;
    case Case::encodeFailed: return "Screen encode failed: " + text_;
    case Case::screenRecordingDenied: return "Screen Recording permission is not granted.";
    case Case::noDisplay: return "No shareable display is available for capture.";
  }
  return std::nullopt;
}

Awaitable<ScreenPixelSize> NullScreenStreamer::primaryDisplaySize() { co_return ScreenPixelSize{1280, 720}; }
Awaitable<long long> NullScreenStreamer::primaryDisplayDPIRate() { co_return 100; }
Awaitable<void> NullScreenStreamer::start(ScreenStreamConfiguration, ScreenStreamHandlers) { co_return; }
Awaitable<void> NullScreenStreamer::stop() { co_return; }
Awaitable<void> NullScreenStreamer::requestKeyframe() { co_return; }
Awaitable<bool> NullScreenStreamer::isStreaming() { co_return false; }

}  // namespace vantrel

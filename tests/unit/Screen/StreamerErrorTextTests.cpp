#include <gtest/gtest.h>

#include "Platform/X11DisplayCapture.hpp"
#include "Platform/X264Encoder.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"

namespace vantrel {
namespace {

TEST(ScreenStreamFailureText, NamesWhatEndedTheStream) {
  struct Case {
    std::exception_ptr error;
    std::string text;
  };
  const std::vector<Case> cases{
      {std::make_exception_ptr(X11CaptureError::accessDenied("refused")),
       "Screen Recording permission is not granted."},
      {std::make_exception_ptr(X11CaptureError::noDisplay("gone")),
       "No shareable display is available for capture."},
      {std::make_exception_ptr(X11CaptureError::failed("The connection to the X display was lost.")),
       "Screen capture stopped: The connection to the X display was lost."},
      {std::make_exception_ptr(X264EncoderError::encodeFailed("libx264 failed to encode the picture")),
       "Screen encode failed: libx264 failed to encode the picture"},
      {std::make_exception_ptr(std::runtime_error("bad_alloc-ish")), "Screen encode failed: bad_alloc-ish"},
      {std::make_exception_ptr(42), "Screen encode failed: unknown error"},
  };
  for (const auto& c : cases) EXPECT_EQ(screenStreamFailureText(c.error), c.text);
}

}  // namespace
}  // namespace vantrel

#pragma once

// Helpers of the screen display tests: an X client that paints moving content, a private X
// server of a chosen size, and FFmpeg's command-line tools to decode what the streamer made.

// Before Xlib, whose macros (None, Bool, …) would break GoogleTest's headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Support/Bytes.hpp"

#include "support/AsyncTest.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

// A full-screen window on a display, painted in whole pictures (one CopyArea per picture, so that
// each picture is one change for the capture).
class ScreenPainter {
 public:
  explicit ScreenPainter(const std::string& displayName);
  ~ScreenPainter();
  ScreenPainter(const ScreenPainter&) = delete;
  ScreenPainter& operator=(const ScreenPainter&) = delete;

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }

  // Left half red, right half blue, with a white square whose position depends on `step`.
  void paintMovingScene(int step);
  // One flat colour (0xRRGGBB) over the whole window.
  void paintSolid(unsigned long rgb);
  // A grid of 8x8 cells in colours drawn from `seed`, over the whole window.
  void paintCells(unsigned seed);
  // Fills one rectangle with `rgb` and shows only that rectangle (one small change).
  void paintRect(unsigned long rgb, int x, int y, int width, int height);
  void movePointer(int x, int y);

 private:
  Display* display_ = nullptr;
  Window window_ = 0;
  Pixmap buffer_ = 0;
  GC gc_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  void present();
};

// The display the test runs on ($DISPLAY), or "" when none is set.
inline std::string sharedDisplay() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

// Sets the server's resource database text (RESOURCE_MANAGER on the root window).
void setXResources(const std::string& displayName, const std::string& text);

struct ProbedStream {
  int width = 0;
  int height = 0;
  int decodedFrames = 0;
  std::string decodeErrors;  // what ffmpeg printed at level "error" while decoding everything
};

// Writes the access units one after the other into `file` and asks FFmpeg about them.
ProbedStream probeH264(const std::vector<Bytes>& accessUnits, const std::filesystem::path& file);

// Decodes the last picture of `file` as RGB24 (width * height * 3 bytes).
Bytes decodeLastPictureRgb(const std::filesystem::path& file, int width, int height);

// Runs a command line through the shell and returns its standard output; throws on failure.
std::string runCommand(const std::string& command);

// A test of the screen streamer: an io_context run by the test thread, and a folder of its own.
class StreamingTest : public ::testing::Test {
 protected:
  asio::io_context io;
  // The capture thread posts to the io_context from outside; keep it from running dry meanwhile.
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  TemporaryDirectory folder;

  template <typename T>
  T run(Awaitable<T> awaitable) {
    return runAwaitable(io, std::move(awaitable));
  }
};

// A private X server that demands a cookie this process does not have (kept in `folder`): it
// refuses every connection. Null when xauth cannot write the cookie file.
std::unique_ptr<PrivateXServer> refusingXServer(const std::filesystem::path& folder);

}  // namespace vantrel::testing

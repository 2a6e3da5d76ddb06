#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "Platform/X11/X11DisplayCapture.hpp"
#include "support/PrivateXServer.hpp"

// The capture's shared-memory segment belongs to the capture from the moment it exists: a screen
// request the display refuses leaves no segment behind, however often it is repeated.

namespace vantrel {
namespace {

// Shared-memory segments mapped into this process.
std::size_t attachedSegments() {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("/SYSV") != std::string::npos) ++count;
  }
  return count;
}

// Segments this process made that still exist (attached anywhere, or not yet removed).
std::size_t segmentsMadeHere() {
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);  // the column names
  std::size_t count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long long key = 0, id = 0, perms = 0, size = 0, creator = 0;
    if (fields >> key >> id >> perms >> size >> creator && creator == ::getpid()) ++count;
  }
  return count;
}

struct PixelFormatCase {
  const char* name;
  int depth;
  bool captures;  // false: the capture is refused for its pixel format
};

class SharedMemoryCapture : public ::testing::TestWithParam<PixelFormatCase> {};

TEST_P(SharedMemoryCapture, RepeatedRequestsLeaveNoSegmentBehind) {
  const auto& c = GetParam();
  testing::PrivateXServer server(320, 200, {}, c.depth);
  const auto mappedBefore = attachedSegments();
  const auto madeBefore = segmentsMadeHere();
  for (int request = 0; request < 5; ++request) {
    SCOPED_TRACE("request " + std::to_string(request));
    std::optional<X11DisplayCapture> capture;
    try {
      capture.emplace(X11DisplayCapture::Options{server.displayName(), false, false});
      EXPECT_TRUE(c.captures);
      EXPECT_TRUE(capture->usesSharedMemory());
      EXPECT_EQ(attachedSegments(), mappedBefore + 1);
      (void)capture->capture();
    } catch (const X11CaptureError& error) {
      EXPECT_FALSE(c.captures) << error.detail();
      EXPECT_EQ(error.detail(), "The X display's pixel format is not supported (needs 32-bit BGRX).");
    }
    capture.reset();
    EXPECT_EQ(attachedSegments(), mappedBefore);
    EXPECT_EQ(segmentsMadeHere(), madeBefore);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, SharedMemoryCapture,
                         ::testing::Values(PixelFormatCase{"Depth24", 24, true},
                                           PixelFormatCase{"Depth30", 30, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel

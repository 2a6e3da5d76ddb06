#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include "Platform/X11/XDisplayProbe.hpp"
#include "Platform/X11/XTestInput.hpp"
#include "XEventRecorder.hpp"

namespace vantrel {
namespace {

using testing::queryPointer;
using testing::RecordedXEvent;
using testing::XEventRecorder;

TEST(XTestInputDisplay, MovesThePointerAndClampsToTheScreen) {
  XTestInput input;
  ASSERT_TRUE(input.movePointer(123, 456));
  auto pointer = queryPointer();
  EXPECT_EQ(pointer.x, 123);
  EXPECT_EQ(pointer.y, 456);

  const auto main = XDisplayProbe::mainDisplay();
  ASSERT_TRUE(main);
  ASSERT_TRUE(input.movePointer(std::int64_t{1} << 40, -(std::int64_t{1} << 40)));
  pointer = queryPointer();
  EXPECT_EQ(pointer.x, main->geometry.x + main->geometry.width - 1);
  EXPECT_EQ(pointer.y, 0);
}

TEST(XTestInputDisplay, AKeysymWithoutKeyIsRefusedWithoutTouchingTheServer) {
  XEventRecorder recorder;
  ASSERT_TRUE(recorder.isRecording());
  XTestInput input;
  // A keysym no keyboard map carries (an unassigned value of the Unicode range).
  EXPECT_FALSE(input.postKey(0x010FFFFE, true));
  EXPECT_TRUE(recorder.settle().empty());
  EXPECT_TRUE(input.isAvailable());
}

}  // namespace
}  // namespace vantrel

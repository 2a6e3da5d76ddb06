#include <gtest/gtest.h>

#include "Platform/X11/X11DisplayCapture.hpp"

namespace vantrel {
namespace {

TEST(DisplayLayout, MainAreaIsThePrimaryMonitorElseTheFirstElseTheRoot) {
  DisplayLayout layout;
  layout.root = {0, 0, 3840, 1080};
  EXPECT_EQ(layout.mainArea(), (ScreenRect{0, 0, 3840, 1080}));

  layout.monitors = {{11, "left", {0, 0, 1920, 1080}, false}, {12, "right", {1920, 0, 1920, 1080}, true}};
  EXPECT_EQ(layout.mainArea(), (ScreenRect{1920, 0, 1920, 1080}));

  layout.monitors[1].isPrimary = false;
  EXPECT_EQ(layout.mainArea(), (ScreenRect{0, 0, 1920, 1080}));
}

TEST(DisplayLayout, MainAreaIsClippedToTheRootAndEmptyAreasAreNoDisplay) {
  DisplayLayout layout;
  layout.root = {0, 0, 1920, 1080};
  layout.monitors = {{1, "big", {1000, 500, 1920, 1080}, true}};
  EXPECT_EQ(layout.mainArea(), (ScreenRect{1000, 500, 920, 580}));

  layout.monitors = {{1, "outside", {2000, 0, 800, 600}, true}};
  EXPECT_EQ(layout.mainArea(), std::nullopt);

  layout.monitors.clear();
  layout.hasRandrMonitors = true;
  EXPECT_EQ(layout.mainArea(), std::nullopt) << "RandR without monitors has nothing to show";
  layout.hasRandrMonitors = false;
  EXPECT_EQ(layout.mainArea(), (ScreenRect{0, 0, 1920, 1080})) << "without RandR the root window is captured";
  layout.root = {0, 0, 0, 0};
  EXPECT_EQ(layout.mainArea(), std::nullopt);
}

struct Canvas {
  int width;
  int height;
  std::vector<std::uint8_t> pixels;
  Canvas(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r) : width(w), height(h) {
    pixels.resize(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = b;
      pixels[i + 1] = g;
      pixels[i + 2] = r;
      pixels[i + 3] = 0xFF;
    }
  }
  BgraImageView view() { return {pixels.data(), width * 4, width, height}; }
  const std::uint8_t* at(int x, int y) const {
    return &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
  }
};

CursorImage twoByTwoCursor() {
  CursorImage cursor;
  cursor.width = 2;
  cursor.height = 2;
  cursor.hotX = 1;
  cursor.hotY = 1;
  cursor.argb = {
      0xFFFFFFFF,  // opaque white
      0x00000000,  // transparent
      0x80400000,  // half alpha, premultiplied red 0x40
      0xFF0000FF,  // opaque blue
  };
  return cursor;
}

TEST(DrawCursor, BlendsPremultipliedPixelsAtThePointerMinusTheHotSpot) {
  Canvas canvas(4, 4, 100, 100, 100);
  // Image origin at root (10, 20); pointer at root (12, 22) -> cursor's top-left at image (1, 1).
  drawCursor(canvas.view(), 10, 20, twoByTwoCursor(), 12, 22);
  EXPECT_EQ(canvas.at(1, 1)[0], 255);
  EXPECT_EQ(canvas.at(1, 1)[2], 255);
  EXPECT_EQ(canvas.at(2, 1)[0], 100) << "transparent pixel leaves the image alone";
  // 0x40 + 100 * (255 - 128) / 255 = 64 + 49.8 -> 114 for red; 0 + 49.8 -> 50 for blue and green.
  EXPECT_EQ(canvas.at(1, 2)[2], 114);
  EXPECT_EQ(canvas.at(1, 2)[1], 50);
  EXPECT_EQ(canvas.at(1, 2)[0], 50);
  EXPECT_EQ(canvas.at(2, 2)[0], 255);
  EXPECT_EQ(canvas.at(2, 2)[2], 0);
  EXPECT_EQ(canvas.at(0, 0)[0], 100);
  EXPECT_EQ(canvas.at(3, 3)[0], 100);
}

TEST(DrawCursor, ClipsAtEveryEdge) {
  const auto cursor = twoByTwoCursor();
  {
    Canvas canvas(3, 3, 0, 0, 0);
    drawCursor(canvas.view(), 0, 0, cursor, 0, 0);  // top-left at (-1, -1): only the blue pixel lands
    EXPECT_EQ(canvas.at(0, 0)[0], 255);
    EXPECT_EQ(canvas.at(0, 0)[2], 0);
  }
  {
    Canvas canvas(3, 3, 0, 0, 0);
    drawCursor(canvas.view(), 0, 0, cursor, 3, 3);  // top-left at (2, 2): only the white pixel lands
    EXPECT_EQ(canvas.at(2, 2)[1], 255);
    EXPECT_EQ(canvas.at(1, 1)[1], 0);
  }
  {
    Canvas canvas(3, 3, 7, 7, 7);
    drawCursor(canvas.view(), 0, 0, cursor, -50, 40);  // entirely outside
    drawCursor(canvas.view(), 0, 0, cursor, 1000000, -1000000);
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 3; ++x) EXPECT_EQ(canvas.at(x, y)[0], 7);
    }
  }
}

TEST(DrawCursor, IgnoresMalformedCursorImages) {
  Canvas canvas(3, 3, 9, 9, 9);
  CursorImage tooFewPixels = twoByTwoCursor();
  tooFewPixels.argb.resize(3);
  drawCursor(canvas.view(), 0, 0, tooFewPixels, 1, 1);
  CursorImage empty;
  drawCursor(canvas.view(), 0, 0, empty, 1, 1);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 3; ++x) EXPECT_EQ(canvas.at(x, y)[0], 9);
  }
}

}  // namespace
}  // namespace vantrel

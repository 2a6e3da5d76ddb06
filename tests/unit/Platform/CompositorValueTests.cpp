// Values another process hands the screen path (a compositor's cursor metadata, its buffers'
// sizes) are made safe before any arithmetic or mapping.

#include <gtest/gtest.h>
#include <spa/param/video/raw.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Platform/GnomeWayland/PipeWireCursorMeta.hpp"
#include "Platform/GnomeWayland/PrivateBufferMapping.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"

namespace vantrel {
namespace {

TEST(CompositorValues, APointerCoordinateIsClampedToPlusMinus32768) {
  const struct {
    std::int64_t in;
    int out;
  } cases[] = {{0, 0},           {-5, -5},         {32768, 32768},    {32769, 32768},
               {-32769, -32768}, {INT_MAX, 32768}, {INT_MIN, -32768}, {INT64_MIN, -32768}};
  for (const auto& c : cases) EXPECT_EQ(clampPointerCoordinate(c.in), c.out) << c.in;
}

TEST(CompositorValues, AHotSpotIsMovedInsideItsBitmap) {
  const struct {
    int width, height, hotX, hotY, x, y;
  } cases[] = {{32, 24, 5, 7, 5, 7},          {32, 24, 31, 23, 31, 23},          {32, 24, 32, 24, 31, 23},
               {32, 24, -1, -9, 0, 0},        {32, 24, INT_MAX, INT_MIN, 31, 0}, {0, 0, 7, -7, 0, 0},
               {1, 1, INT_MIN, INT_MAX, 0, 0}};
  for (const auto& c : cases) {
    CursorImage cursor;
    cursor.width = c.width;
    cursor.height = c.height;
    cursor.hotX = c.hotX;
    cursor.hotY = c.hotY;
    clampHotSpot(cursor);
    EXPECT_EQ(cursor.hotX, c.x) << c.width << " " << c.hotX;
    EXPECT_EQ(cursor.hotY, c.y) << c.height << " " << c.hotY;
  }
}

TEST(CompositorValues, ACursorBitmapsHotSpotFromTheStreamIsClampedToIt) {
  // Metadata: the cursor, its bitmap header right after it, then 2 x 2 RGBA pixels.
  std::vector<std::uint8_t> meta(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 16, 0x80);
  spa_meta_cursor cursor{};
  cursor.id = 1;
  cursor.hotspot = {INT_MAX, -5};
  cursor.bitmap_offset = sizeof(spa_meta_cursor);
  spa_meta_bitmap bitmap{};
  bitmap.format = SPA_VIDEO_FORMAT_RGBA;
  bitmap.size = {2, 2};
  bitmap.stride = 8;
  bitmap.offset = sizeof(spa_meta_bitmap);
  std::memcpy(meta.data(), &cursor, sizeof cursor);
  std::memcpy(meta.data() + sizeof cursor, &bitmap, sizeof bitmap);
  const auto image = readCursorBitmap(meta.data(), static_cast<std::uint32_t>(meta.size()), cursor);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->hotX, 1);
  EXPECT_EQ(image->hotY, 0);
  EXPECT_EQ(image->argb.at(3), 0x80808080u);
  // One byte short of the last pixel: refused.
  EXPECT_FALSE(
      readCursorBitmap(meta.data(), static_cast<std::uint32_t>(meta.size() - 1), cursor).has_value());
}

// A hostile hot spot and pointer draw without overflow: the cursor lands where the clamped values
// put it, or nowhere.
TEST(CompositorValues, ACursorWithExtremeValuesIsDrawnWithoutOverflow) {
  std::vector<std::uint8_t> pixels(16 * 16 * 4, 0);
  const BgraImageView image{pixels.data(), 16 * 4, 16, 16};
  CursorImage cursor;
  cursor.width = cursor.height = 2;
  cursor.argb.assign(4, 0xFFFFFFFFu);
  cursor.hotX = INT_MIN;  // taken as 0
  cursor.hotY = INT_MAX;  // taken as 1
  drawCursor(image, 0, 0, cursor, 3, 4);
  EXPECT_EQ(pixels[(3 * 16 + 3) * 4], 0xFF) << "the cursor's top left at (3, 3)";
  EXPECT_EQ(pixels[(4 * 16 + 4) * 4], 0xFF);
  EXPECT_EQ(pixels[(5 * 16 + 3) * 4], 0x00);
  for (const int pointer : {INT_MAX, INT_MIN}) {
    drawCursor(image, INT_MIN, INT_MAX, cursor, pointer, pointer);  // far off the image: nothing drawn
  }
  EXPECT_EQ(pixels[0], 0x00);
}

TEST(CompositorValues, ABufferMustLieWithinItsFile) {
  const struct {
    std::uint64_t file, offset, size;
    bool fits;
  } cases[] = {{8192, 0, 8192, true},
               {8192, 4096, 4096, true},
               {8192, 4096, 4097, false},
               {8192, 8193, 0, false},
               {8192, 0, 0, false},
               {4096, 0, 8192, false},
               {UINT64_MAX, 1, UINT64_MAX, false},
               {UINT64_MAX, UINT64_MAX, 1, false}};
  for (const auto& c : cases)
    EXPECT_EQ(bufferFitsFile(c.file, c.offset, c.size), c.fits) << c.offset << "+" << c.size;
}

TEST(CompositorValues, AMemoryFileShorterThanItsBufferIsNotMapped) {
  const int fd = ::memfd_create("buffer", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  EXPECT_EQ(PrivateBufferMapping::of(fd, 0, 8 * 4096), nullptr) << "a read past the file would fault";
  EXPECT_EQ(PrivateBufferMapping::of(fd, 4096, 1), nullptr);
  auto whole = PrivateBufferMapping::of(fd, 0, 4096);
  ASSERT_NE(whole, nullptr);
  // A write stays private, and forgetting it shows the file again.
  const std::uint8_t byte = 0x5A;
  ASSERT_EQ(::pwrite(fd, &byte, 1, 100), 1);
  EXPECT_EQ(whole->data()[100], 0x5A);
  whole->data()[100] = 0x11;
  std::uint8_t inFile = 0;
  ASSERT_EQ(::pread(fd, &inFile, 1, 100), 1);
  EXPECT_EQ(inFile, 0x5A);
  whole->forget(whole->data() + 100, whole->data() + 101);
  EXPECT_EQ(whole->data()[100], 0x5A);
  ::close(fd);
}

}  // namespace
}  // namespace vantrel

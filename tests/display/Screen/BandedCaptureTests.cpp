// A whole screen read a band of rows at a time, each band handed on while the X server copies the
// next: the bands cover the screen in order, each is final (cursor included) when handed on, and
// the pictures equal a read in one request and its conversion.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Screen/ScreenPixelConverter.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "ScreenTestKit.hpp"

namespace vantrel {
namespace {

using testing::PrivateXServer;
using testing::ScreenPainter;
using testing::sharedDisplay;

void settle(X11DisplayCapture& capture) {
  for (int i = 0; i < 10 && capture.collectChanges(true); ++i) {
  }
}

// The first row of `rows` (starting at row `first` of the area) that differs from `image`, in
// the three bytes a 24-bit display's pixel carries; -1 when none does.
int firstDifferingRow(const std::vector<std::uint8_t>& rows, int first, int count,
                      const BgraImageView& image) {
  const auto rowBytes = static_cast<std::size_t>(image.width) * 4;
  for (int y = 0; y < count; ++y) {
    const auto* a = rows.data() + static_cast<std::size_t>(y) * rowBytes;
    const auto* b = image.data + static_cast<std::ptrdiff_t>(first + y) * image.stride;
    for (int x = 0; x < image.width; ++x) {
      if (std::memcmp(a + x * 4, b + x * 4, 3) != 0) return first + y;
    }
  }
  return -1;
}

struct Band {
  int firstRow = 0;
  int rowCount = 0;
  std::vector<std::uint8_t> rows;  // as they were when handed on
};

// Reads the whole area in bands, keeping a copy of each band as it was handed on.
std::vector<Band> readInBands(X11DisplayCapture& capture) {
  std::vector<Band> bands;
  (void)capture.capture([&bands](const BgraImageView& image, int firstRow, int rowCount) {
    Band band{firstRow, rowCount, {}};
    const auto rowBytes = static_cast<std::size_t>(image.width) * 4;
    band.rows.resize(rowBytes * static_cast<std::size_t>(rowCount));
    for (int y = 0; y < rowCount; ++y) {
      std::memcpy(band.rows.data() + static_cast<std::size_t>(y) * rowBytes,
                  image.data + static_cast<std::ptrdiff_t>(firstRow + y) * image.stride, rowBytes);
    }
    bands.push_back(std::move(band));
  });
  return bands;
}

// The bands cover the area from the top, each starting on a multiple of 4 rows, and each was what
// a read in one request sees (the cursor, drawn across the first band's edge, included).
void expectBandsEqualAReadAtOnce(const std::string& display) {
  ScreenPainter painter(display);
  painter.paintCells(23);
  X11DisplayCapture capture({display, true, true});
  settle(capture);
  const auto firstBands = readInBands(capture);
  ASSERT_GE(firstBands.size(), 2U) << "a screen of this size is read in more than one band";
  const int edge = firstBands[1].firstRow;
  // The pointer where its cursor straddles the edge between the first two bands.
  painter.movePointer(capture.area().width / 3, edge);
  settle(capture);
  const auto bands = readInBands(capture);

  X11DisplayCapture atOnce({display, true, true});
  settle(atOnce);
  const auto whole = atOnce.capture();
  X11DisplayCapture noCursor({display, false, true});
  const auto bare = noCursor.capture();
  int row = 0;
  for (const auto& band : bands) {
    SCOPED_TRACE(fmt::format("band at row {}", band.firstRow));
    EXPECT_EQ(band.firstRow, row);
    EXPECT_EQ(band.firstRow % 4, 0);
    EXPECT_GT(band.rowCount, 0);
    EXPECT_EQ(firstDifferingRow(band.rows, band.firstRow, band.rowCount, whole), -1);
    row = band.firstRow + band.rowCount;
  }
  EXPECT_EQ(row, capture.area().height);
  EXPECT_TRUE(capture.changed().isWhole());
  // The cursor shows on both sides of the edge: rows there differ from a read without it.
  EXPECT_GE(firstDifferingRow(bands[0].rows, 0, bands[0].rowCount, bare), 0);
  EXPECT_EQ(firstDifferingRow(bands[1].rows, bands[1].firstRow, bands[1].rowCount, bare), edge);
}

TEST(BandedCapture, BandsCoverTheScreenInOrderAndEqualAReadAtOnce) {
  expectBandsEqualAReadAtOnce(sharedDisplay());
}

TEST(BandedCapture, BandsOfALargeAndOfAnOddSizedScreenEqualAReadAtOnce) {
  for (const auto& [width, height] : {std::pair{3840, 2160}, std::pair{1001, 757}}) {
    SCOPED_TRACE(fmt::format("{}x{}", width, height));
    PrivateXServer server(width, height);
    expectBandsEqualAReadAtOnce(server.displayName());
  }
}

// The stream's whole and changed pictures, converted as the bands arrive, against a read in one
// request converted at once: at the target's size, halved, and at another ratio.
TEST(BandedCapture, PicturesConvertedByBandsEqualWholeConversions) {
  struct Case {
    int width, height, targetWidth, targetHeight;
  };
  for (const auto& c : {Case{1280, 720, 1280, 720}, Case{1280, 720, 640, 360}, Case{1280, 720, 960, 540}}) {
    SCOPED_TRACE(fmt::format("{}x{} to {}x{}", c.width, c.height, c.targetWidth, c.targetHeight));
    PrivateXServer server(c.width, c.height);
    ScreenPainter painter(server.displayName());
    painter.paintCells(3);
    X11DisplayCapture capture({server.displayName(), true, true});
    settle(capture);
    ScreenPixelConverter converter(c.targetWidth, c.targetHeight);
    ScreenPixelConverter reference(c.targetWidth, c.targetHeight);
    const auto& first = captureWholePicture(capture, converter);
    X11DisplayCapture atOnce({server.displayName(), true, true});
    settle(atOnce);
    const auto& expectedFirst = reference.convert(atOnce.capture());
    EXPECT_EQ(first.y, expectedFirst.y);
    EXPECT_EQ(first.u, expectedFirst.u);
    EXPECT_EQ(first.v, expectedFirst.v);

    // The whole screen changes: the changed picture is read whole, in bands, and converted whole.
    painter.paintCells(4);
    for (int i = 0; i < 10 && !capture.collectChanges(true); ++i) {
    }
    settle(capture);
    const auto& changed = captureChangedPicture(capture, converter);
    EXPECT_TRUE(capture.changed().isWhole());
    EXPECT_TRUE(converter.changedParts().isWhole());
    settle(atOnce);
    const auto& expected = reference.convert(atOnce.capture());
    EXPECT_EQ(changed.y, expected.y);
    EXPECT_EQ(changed.u, expected.u);
    EXPECT_EQ(changed.v, expected.v);
  }
}

// A receiver that fails mid-picture leaves a buffer that is part new picture (with the cursor
// drawn where the pointer was then) and part old: the next read of the changes reads everything,
// so that no stale cursor stays behind, and the connection still answers and reports damage.
TEST(BandedCapture, AfterAReceiverThrowsTheNextReadIsWhole) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(31);
  painter.movePointer(300, 40);
  X11DisplayCapture capture({sharedDisplay(), true, true});
  settle(capture);
  (void)readInBands(capture);
  painter.movePointer(700, 60);  // still in the first band
  settle(capture);
  int calls = 0;
  EXPECT_THROW((void)capture.capture([&calls](const BgraImageView&, int, int) {
    if (++calls == 1) throw std::runtime_error("the receiver failed");
  }),
               std::runtime_error);
  EXPECT_EQ(calls, 1);
  painter.movePointer(1200, 900);
  settle(capture);

  const auto image = capture.captureChanges();
  EXPECT_TRUE(capture.changed().isWhole());
  const auto expectSameAsAFreshRead = [&](const BgraImageView& got) {
    X11DisplayCapture fresh({sharedDisplay(), true, true});
    settle(fresh);
    const auto whole = fresh.capture();
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(got.width) * 4 *
                                   static_cast<std::size_t>(got.height));
    for (int y = 0; y < got.height; ++y) {
      std::memcpy(rows.data() + static_cast<std::size_t>(y) * got.width * 4,
                  got.data + static_cast<std::ptrdiff_t>(y) * got.stride,
                  static_cast<std::size_t>(got.width) * 4);
    }
    EXPECT_EQ(firstDifferingRow(rows, 0, got.height, whole), -1);
  };
  expectSameAsAFreshRead(image);

  painter.paintRect(0x3366CC, 40, 50, 30, 20);
  bool seen = false;
  for (int i = 0; i < 10 && !seen; ++i) seen = capture.collectChanges(true);
  ASSERT_TRUE(seen) << "damage still arrives after the failed read";
  expectSameAsAFreshRead(capture.captureChanges());
  EXPECT_FALSE(capture.changed().isWhole());
}

// A server that goes away between pictures: the read in bands reports the lost connection.
TEST(BandedCapture, ALostServerIsReportedAsSuch) {
  auto server = std::make_unique<PrivateXServer>(640, 480);
  X11DisplayCapture capture({server->displayName(), false, true});
  settle(capture);
  (void)readInBands(capture);
  server->stop();
  try {
    (void)capture.capture([](const BgraImageView&, int, int) {});
    ADD_FAILURE() << "a read from a server that is gone succeeded";
  } catch (const X11CaptureError& error) {
    EXPECT_NE(std::string(error.what()).find("lost"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace vantrel

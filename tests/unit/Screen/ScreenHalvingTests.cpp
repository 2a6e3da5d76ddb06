// A screen of twice the stream's size is halved and converted a strip of rows at a time, and one
// of the stream's size converted a strip at a time; these compare both byte for byte with
// halving (where it halves) and converting the whole picture at once. A whole screen is also
// converted a band of rows at a time, as its rows arrive.

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/Screen/ScreenPixelConverter.hpp"

namespace vantrel {
namespace {

// A BGRA picture with `margin` unused bytes after each row (a stride wider than the picture).
struct Source {
  int width, height, stride;
  std::vector<std::uint8_t> bytes;
  Source(int w, int h, int margin) : width(w), height(h), stride(w * 4 + margin) {
    bytes.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h), 0xA5);
  }
  std::uint8_t* pixel(int x, int y) {
    return &bytes[static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
                  static_cast<std::size_t>(x) * 4];
  }
  void randomise(const ScreenRect& r, unsigned seed) {
    std::mt19937 random(seed);
    for (int y = r.y; y < r.y + r.height; ++y) {
      for (int x = r.x; x < r.x + r.width; ++x) {
        auto* p = pixel(x, y);
        p[0] = random() & 0xFF;
        p[1] = random() & 0xFF;
        p[2] = random() & 0xFF;
        p[3] = 0xFF;
      }
    }
  }
  BgraImageView view() { return {bytes.data(), stride, width, height}; }
};

// The whole picture halved (box filter), then converted: the way a picture was halved before.
I420Picture halvedWhole(const BgraImageView& source) {
  const int w = source.width / 2, h = source.height / 2;
  std::vector<std::uint8_t> halved(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  libyuv::ARGBScale(source.data, source.stride, source.width, source.height, halved.data(), w * 4, w, h,
                    libyuv::kFilterBox);
  I420Picture out;
  out.width = w;
  out.height = h;
  out.y.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  out.u.resize(static_cast<std::size_t>(out.strideUV()) * static_cast<std::size_t>((h + 1) / 2));
  out.v.resize(out.u.size());
  libyuv::ARGBToI420(halved.data(), w * 4, out.y.data(), out.strideY(), out.u.data(), out.strideUV(),
                     out.v.data(), out.strideUV(), w, h);
  return out;
}

// "" when equal, else the plane and position of the first difference.
std::string firstDifference(const I420Picture& got, const I420Picture& expected) {
  if (got.width != expected.width || got.height != expected.height) return "size differs";
  const auto compare = [](const char* plane, const std::vector<std::uint8_t>& a,
                          const std::vector<std::uint8_t>& b, int stride) -> std::string {
    if (a.size() != b.size()) return std::string(plane) + " size differs";
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i] != b[i]) {
        return std::string(plane) + " at " + std::to_string(i % static_cast<std::size_t>(stride)) + "," +
               std::to_string(i / static_cast<std::size_t>(stride)) + ": " + std::to_string(a[i]) + " vs " +
               std::to_string(b[i]);
      }
    }
    return "";
  };
  for (const auto& d :
       {compare("Y", got.y, expected.y, got.strideY()), compare("U", got.u, expected.u, got.strideUV()),
        compare("V", got.v, expected.v, got.strideUV())}) {
    if (!d.empty()) return d;
  }
  return "";
}

TEST(ScreenHalving, EqualsHalvingTheWholePictureThenConverting) {
  struct Case {
    int targetWidth, targetHeight, margin;
  };
  // Odd sizes and sizes that are no multiple of a strip or of a SIMD group, strides with unused
  // bytes, a one-pixel picture and the 2160p screen.
  const std::vector<Case> cases = {{1, 1, 0},    {2, 2, 0},     {3, 5, 4},     {7, 3, 0},
                                   {17, 9, 12},  {33, 31, 0},   {64, 6, 64},   {100, 3, 4},
                                   {161, 91, 0}, {320, 180, 0}, {321, 181, 8}, {1920, 1080, 0}};
  unsigned seed = 1;
  for (const auto& c : cases) {
    Source source(2 * c.targetWidth, 2 * c.targetHeight, c.margin);
    source.randomise({0, 0, source.width, source.height}, seed++);
    ScreenPixelConverter converter(c.targetWidth, c.targetHeight);
    EXPECT_EQ(firstDifference(converter.convert(source.view()), halvedWhole(source.view())), "")
        << c.targetWidth << "x" << c.targetHeight << " margin " << c.margin;
  }
}

TEST(ScreenHalving, AScreenOfTheTargetsSizeConvertedByStripsEqualsOneWholeConversion) {
  struct Case {
    int width, height, margin;
  };
  // Heights that are no multiple of a strip, odd widths, strides with unused bytes.
  const std::vector<Case> cases = {{1, 1, 0},    {5, 3, 4},     {33, 9, 0},
                                   {64, 17, 64}, {321, 181, 8}, {1920, 1080, 0}};
  unsigned seed = 20;
  for (const auto& c : cases) {
    Source source(c.width, c.height, c.margin);
    source.randomise({0, 0, c.width, c.height}, seed++);
    I420Picture expected;
    expected.width = c.width;
    expected.height = c.height;
    expected.y.resize(static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height));
    expected.u.resize(static_cast<std::size_t>(expected.strideUV()) *
                      static_cast<std::size_t>((c.height + 1) / 2));
    expected.v.resize(expected.u.size());
    libyuv::ARGBToI420(source.bytes.data(), source.stride, expected.y.data(), expected.strideY(),
                       expected.u.data(), expected.strideUV(), expected.v.data(), expected.strideUV(),
                       c.width, c.height);
    ScreenPixelConverter converter(c.width, c.height);
    EXPECT_EQ(firstDifference(converter.convert(source.view()), expected), "") << c.width << "x" << c.height;
  }
}

TEST(ScreenHalving, HandMadeBoxesAverageToKnownValues) {
  // Columns of four source pixels in black, white, red and blue: each colour becomes two target
  // pixels and one chroma sample of the studio-range values below.
  struct Colour {
    std::uint8_t b, g, r;
    int y, u, v;  // studio-range values of the plain colour
  };
  const Colour colours[] = {{0, 0, 0, 16, 128, 128},
                            {255, 255, 255, 235, 128, 128},
                            {0, 0, 255, 82, 90, 240},
                            {255, 0, 0, 41, 240, 110}};
  Source source(16, 4, 0);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 16; ++x) {
      const auto& c = colours[(x / 4) % 4];
      auto* p = source.pixel(x, y);
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 0xFF;
    }
  }
  ScreenPixelConverter converter(8, 2);
  const auto& picture = converter.convert(source.view());
  EXPECT_EQ(firstDifference(picture, halvedWhole(source.view())), "");
  for (int x = 0; x < 8; ++x) {
    const auto& c = colours[(x / 2) % 4];
    EXPECT_NEAR(picture.y[static_cast<std::size_t>(x)], c.y, 1) << x;
    EXPECT_NEAR(picture.y[static_cast<std::size_t>(8 + x)], c.y, 1) << x;
  }
  for (int x = 0; x < 4; ++x) {
    EXPECT_NEAR(picture.u[static_cast<std::size_t>(x)], colours[x].u, 2) << x;
    EXPECT_NEAR(picture.v[static_cast<std::size_t>(x)], colours[x].v, 2) << x;
  }
}

TEST(ScreenHalving, ChangedPartsEqualAWholeHalvingOfTheChangedPicture) {
  struct Case {
    const char* name;
    int targetWidth, targetHeight, margin;
    std::vector<ScreenRect> changes;  // source coordinates
  };
  const std::vector<Case> cases = {
      {"corners", 320, 180, 0, {{0, 0, 3, 3}, {637, 357, 3, 3}, {0, 357, 5, 3}, {635, 0, 5, 5}}},
      {"odd target size", 161, 91, 12, {{321, 181, 1, 1}, {0, 0, 1, 182}, {100, 50, 33, 17}}},
      {"strip edges", 320, 180, 4, {{40, 6, 10, 4}, {200, 14, 80, 3}, {10, 30, 600, 2}}},
      {"a large part", 960, 540, 0, {{101, 77, 960, 541}}},
  };
  unsigned seed = 40;
  for (const auto& c : cases) {
    Source source(2 * c.targetWidth, 2 * c.targetHeight, c.margin);
    source.randomise({0, 0, source.width, source.height}, seed++);
    ScreenPixelConverter converter(c.targetWidth, c.targetHeight);
    (void)converter.convert(source.view());
    ScreenDamage damage(source.width, source.height);
    for (const auto& r : c.changes) {
      source.randomise(r, seed++);
      damage.add(r);
    }
    ASSERT_FALSE(damage.isWhole()) << c.name;
    EXPECT_EQ(firstDifference(converter.convert(source.view(), damage), halvedWhole(source.view())), "")
        << c.name;
  }
}

// A whole screen converted a band of rows at a time, as the rows arrive from the X server, equals
// one conversion of it: at the target's size, halved, and scaled by another ratio; bands of a few
// rows, uneven bands, a last band of an odd number of rows, and one band for everything.
TEST(ScreenBands, BandsInOrderEqualOneWholeConversion) {
  struct Case {
    const char* name;
    int sourceWidth, sourceHeight, targetWidth, targetHeight;
    std::vector<int> bands;  // row counts; the last one runs to the bottom
  };
  const std::vector<Case> cases = {
      {"same size, bands of 4", 321, 181, 321, 181, {4}},
      {"same size, uneven bands", 1920, 1080, 1920, 1080, {2, 6, 272, 100, 0}},
      {"same size, odd last band", 64, 37, 64, 37, {12, 24, 0}},
      {"halved, bands of 4", 642, 362, 321, 181, {4}},
      {"halved, uneven bands", 3840, 2160, 1920, 1080, {136, 8, 272, 0}},
      {"halved, odd target height", 200, 758, 100, 379, {4, 100, 0}},
      {"4:3, uneven bands", 1280, 720, 960, 540, {2, 10, 300, 0}},
      {"one band", 640, 360, 320, 180, {0}},
  };
  unsigned seed = 50;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Source source(c.sourceWidth, c.sourceHeight, 8);
    source.randomise({0, 0, c.sourceWidth, c.sourceHeight}, seed++);
    ScreenPixelConverter whole(c.targetWidth, c.targetHeight);
    ScreenPixelConverter banded(c.targetWidth, c.targetHeight);
    // A previous picture of other content, so that rows no band reaches would show.
    Source previous(c.sourceWidth, c.sourceHeight, 8);
    previous.randomise({0, 0, c.sourceWidth, c.sourceHeight}, seed++);
    (void)banded.convert(previous.view());
    int row = 0;
    std::size_t next = 0;
    while (row < c.sourceHeight) {
      const int wanted = c.bands[std::min(next, c.bands.size() - 1)];
      ++next;
      const int rows = wanted > 0 ? std::min(wanted, c.sourceHeight - row) : c.sourceHeight - row;
      banded.convertRows(source.view(), row, rows);
      row += rows;
    }
    EXPECT_EQ(firstDifference(banded.finishRows(source.view()), whole.convert(source.view())), "");
    EXPECT_TRUE(banded.changedParts().isWhole());
  }
}

TEST(ScreenBands, BandsOffAChromaRowOrOutsideThePictureAreRefused) {
  Source same(64, 32, 0);
  Source twice(128, 64, 0);
  ScreenPixelConverter converter(64, 32);
  struct Case {
    const char* name;
    Source* source;
    int firstRow, rowCount;
  };
  const Case refused[] = {
      {"odd first row", &same, 3, 4},    {"halved from a row of a half chroma row", &twice, 2, 4},
      {"no rows", &same, 0, 0},          {"negative first row", &same, -2, 4},
      {"past the bottom", &same, 30, 4}, {"halved past the bottom", &twice, 60, 8},
  };
  for (const auto& c : refused) {
    EXPECT_THROW(converter.convertRows(c.source->view(), c.firstRow, c.rowCount), std::invalid_argument)
        << c.name;
  }
  EXPECT_NO_THROW(converter.convertRows(same.view(), 30, 2));
  EXPECT_NO_THROW(converter.convertRows(twice.view(), 60, 4));
  EXPECT_THROW(converter.convertRows({}, 0, 2), std::invalid_argument);
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/Screen/ScreenPixelConverter.hpp"
#include "Platform/Screen/X264Encoder.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "ScreenTestKit.hpp"

namespace vantrel {
namespace {

using testing::PrivateXServer;
using testing::ScreenPainter;
using testing::sharedDisplay;
using testing::TemporaryDirectory;

// Collects until a change shows (events may need a round trip or two), then takes whatever else
// has arrived, so that the next capture sees all of it.
bool collectChange(X11DisplayCapture& capture) {
  bool seen = false;
  for (int i = 0; i < 10 && !seen; ++i) seen = capture.collectChanges(true);
  for (int i = 0; i < 3; ++i) (void)capture.collectChanges(true);
  return seen;
}

void settle(X11DisplayCapture& capture) {
  for (int i = 0; i < 10 && capture.collectChanges(true); ++i) {
  }
}

// The first differing pixel of two pictures of the same size, or "" when they are the same.
std::string firstDifference(const BgraImageView& a, const BgraImageView& b) {
  if (a.width != b.width || a.height != b.height)
    return fmt::format("sizes {}x{} and {}x{}", a.width, a.height, b.width, b.height);
  for (int y = 0; y < a.height; ++y) {
    const auto* rowA = a.data + static_cast<std::ptrdiff_t>(y) * a.stride;
    const auto* rowB = b.data + static_cast<std::ptrdiff_t>(y) * b.stride;
    for (int x = 0; x < a.width; ++x) {
      // The fourth byte of a 24-bit display's pixel carries nothing.
      if (std::memcmp(rowA + x * 4, rowB + x * 4, 3) != 0) return fmt::format("pixel ({}, {})", x, y);
    }
  }
  return "";
}

std::string firstDifference(const I420Picture& a, const I420Picture& b) {
  if (a.width != b.width || a.height != b.height) return "sizes";
  if (a.y != b.y) return "Y plane";
  if (a.u != b.u) return "U plane";
  if (a.v != b.v) return "V plane";
  return "";
}

struct Step {
  const char* name;
  std::vector<ScreenRect> rects;
};

std::vector<Step> stepsFor(int w, int h) {
  std::vector<ScreenRect> tiny;
  tiny.reserve(120);
  for (int i = 0; i < 120; ++i)
    tiny.push_back({300 + (i * 37) % 200, 200 + (i * 53) % 120, 1 + i % 3, 1 + i % 2});
  return {
      {"odd edges", {{3, 5, 7, 9}, {101, 33, 1, 1}, {251, 97, 33, 17}}},
      {"at the borders", {{0, 0, 5, 3}, {w - 3, h - 3, 3, 3}, {w - 1, 0, 1, h / 3}, {0, h - 1, w / 3, 1}}},
      {"overlapping", {{10, 10, 60, 40}, {50, 30, 60, 40}, {40, 0, 5, 100}}},
      {"many tiny", tiny},
      {"far apart", {{17, 400, 30, 20}, {w - 100, 20, 41, 13}, {w / 2, h - 50, 9, 9}}},
  };
}

// Paints each step's rectangles, lets the capture read only the changes, and compares both the
// capture's buffer and the converted picture with a whole read and a whole conversion made
// afresh from the same screen.
void expectPartialCapturesMatchWholeOnes(const std::string& display, int targetWidth, int targetHeight) {
  ScreenPainter painter(display);
  painter.paintCells(11);
  X11DisplayCapture capture({display, false, true});
  const auto area = capture.area();
  ScreenPixelConverter converter(targetWidth, targetHeight);
  settle(capture);
  (void)converter.convert(capture.capture());
  unsigned long colour = 0x123456;
  for (const auto& step : stepsFor(area.width, area.height)) {
    SCOPED_TRACE(step.name);
    for (const auto& r : step.rects) {
      colour = (colour * 2654435761u + 0x9E3779u) & 0xFFFFFF;
      painter.paintRect(colour, r.x, r.y, r.width, r.height);
    }
    ASSERT_TRUE(collectChange(capture));
    const auto image = capture.captureChanges();
    ASSERT_FALSE(capture.changed().isWhole()) << "a few small changes are read on their own";
    EXPECT_LT(capture.changed().area(), static_cast<long long>(area.width) * area.height / 8);
    const auto& picture = converter.convert(image, capture.changed());

    X11DisplayCapture fresh({display, false, true});
    const auto whole = fresh.capture();
    EXPECT_EQ(firstDifference(image, whole), "");
    ScreenPixelConverter wholeConverter(targetWidth, targetHeight);
    EXPECT_EQ(firstDifference(picture, wholeConverter.convert(whole)), "");
  }
}

TEST(DamageCapture, ChangedPartsReadAndConvertedAloneMatchTheWholeScreen) {
  ScreenPainter probe(sharedDisplay());
  expectPartialCapturesMatchWholeOnes(sharedDisplay(), probe.width(), probe.height());
}

TEST(DamageCapture, ChangedPartsOfALargerScreenMatchTheWholeScreenScaled) {
  PrivateXServer server(1280, 720);
  expectPartialCapturesMatchWholeOnes(server.displayName(), 640, 360);  // 2:1
  expectPartialCapturesMatchWholeOnes(server.displayName(), 960, 540);  // 4:3
}

TEST(DamageCapture, TheCursorIsRestoredWhereItWasAndDrawnWhereItIs) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(5);
  painter.movePointer(400, 300);
  X11DisplayCapture capture({sharedDisplay(), true, true});
  settle(capture);
  (void)capture.capture();
  const auto area = capture.area();
  struct Move {
    const char* name;
    int x, y;
    bool paintUnderTheOldPlace;
  };
  const Move moves[] = {
      {"a short move", 407, 311, false},
      {"a long move", 1200, 700, false},
      {"into the top-left corner, partly outside", 1, 0, false},
      {"to the bottom-right edge", area.width - 2, area.height - 1, false},
      {"a move while the screen under the old place changes", 900, 500, true},
  };
  int previousX = area.width - 2, previousY = area.height - 1;
  for (const auto& move : moves) {
    SCOPED_TRACE(move.name);
    if (move.paintUnderTheOldPlace) painter.paintRect(0x00FF80, previousX - 20, previousY - 20, 40, 40);
    painter.movePointer(move.x, move.y);
    ASSERT_TRUE(collectChange(capture));
    const auto image = capture.captureChanges();
    ASSERT_FALSE(capture.changed().isWhole());
    X11DisplayCapture fresh({sharedDisplay(), true, true});
    settle(fresh);
    EXPECT_EQ(firstDifference(image, fresh.capture()), "");
    previousX = move.x;
    previousY = move.y;
  }
}

TEST(DamageCapture, AStillScreenReadsNothingAndAWholeCaptureReadsEverything) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(8);
  X11DisplayCapture capture({sharedDisplay(), false, true});
  settle(capture);
  (void)capture.captureChanges();
  EXPECT_TRUE(capture.changed().isWhole()) << "the first picture is read whole";
  settle(capture);
  (void)capture.captureChanges();
  EXPECT_TRUE(capture.changed().isEmpty());
  painter.paintRect(0xFFFFFF, 0, 0, capture.area().width, capture.area().height * 3 / 4);
  ASSERT_TRUE(collectChange(capture));
  (void)capture.captureChanges();
  EXPECT_TRUE(capture.changed().isWhole()) << "most of the screen is read in one piece";
}

// The encoded stream of a screen with small changes, from the partial path and from whole reads
// and conversions of the same screen, decoded: the same size, and pictures alike.
TEST(DamageCapture, AStreamOfSmallChangesDecodesLikeOneOfWholePictures) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(21);
  X11DisplayCapture partialCapture({sharedDisplay(), true, true});
  X11DisplayCapture wholeCapture({sharedDisplay(), true, true});
  const auto area = partialCapture.area();
  const X264EncoderSettings settings{area.width, area.height, 30, 8'000'000, 60};
  ScreenPixelConverter partialConverter(area.width, area.height);
  ScreenPixelConverter wholeConverter(area.width, area.height);
  X264Encoder partialEncoder(settings);
  X264Encoder wholeEncoder(settings);
  std::vector<Bytes> partialUnits, wholeUnits;
  std::string differing;
  const int pictures = 40;
  settle(partialCapture);
  for (int i = 0; i < pictures; ++i) {
    if (i > 0) {
      // A 480x270 piece somewhere (6 % of a 1080p screen), and the pointer moving.
      painter.paintRect((0x010101u * static_cast<unsigned>(i * 5)) ^ 0x3060C0u,
                        (i * 397) % (area.width - 480), (i * 211) % (area.height - 270), 480, 270);
      painter.movePointer(100 + i * 13, 100 + i * 7);
      ASSERT_TRUE(collectChange(partialCapture));
    }
    settle(wholeCapture);
    const auto& a = partialConverter.convert(partialCapture.captureChanges(), partialCapture.changed());
    const auto& b = wholeConverter.convert(wholeCapture.capture());
    if (const auto difference = firstDifference(a, b); !difference.empty())
      differing += fmt::format(" {} ({})", i, difference);
    partialUnits.push_back(partialEncoder.encode(a, i == 0).annexB);
    wholeUnits.push_back(wholeEncoder.encode(b, i == 0).annexB);
  }
  EXPECT_EQ(differing, "") << "pictures that differ";
  TemporaryDirectory folder;
  const auto partialProbe = testing::probeH264(partialUnits, folder.path() / "partial.h264");
  const auto wholeProbe = testing::probeH264(wholeUnits, folder.path() / "whole.h264");
  EXPECT_EQ(partialProbe.width, area.width);
  EXPECT_EQ(partialProbe.height, area.height);
  EXPECT_EQ(partialProbe.width, wholeProbe.width);
  EXPECT_EQ(partialProbe.height, wholeProbe.height);
  EXPECT_EQ(partialProbe.decodedFrames, pictures);
  const auto report = testing::runCommand(
      fmt::format("ffmpeg -nostdin -hide_banner -f h264 -i '{}' -f h264 -i '{}' -lavfi psnr -f null - 2>&1",
                  (folder.path() / "partial.h264").string(), (folder.path() / "whole.h264").string()));
  // ffmpeg's psnr filter ends with "... average:<dB or inf> min:... max:...".
  const auto at = report.rfind("average:");
  ASSERT_NE(at, std::string::npos) << report;
  const auto value = report.substr(at + 8, report.find(' ', at) - at - 8);
  if (value != "inf") {
    EXPECT_GE(std::stod(value), 40.0) << report;
  }
}

// The PSNR (dB) of each picture of stream `a` against the same picture of stream `b`, both
// decoded by FFmpeg; 99 for identical pictures.
// `b` may also be raw 4:2:0 pictures of `rawSize` ("WxH").
std::vector<double> psnrPerPicture(const std::filesystem::path& a, const std::filesystem::path& b,
                                   const std::string& rawSize = "") {
  const auto stats = a.string() + "-" + b.filename().string() + ".psnr";
  const auto second = rawSize.empty()
                          ? fmt::format("-f h264 -i '{}'", b.string())
                          : fmt::format("-f rawvideo -pix_fmt yuv420p -s {} -i '{}'", rawSize, b.string());
  testing::runCommand(fmt::format(
      "ffmpeg -nostdin -v error -f h264 -i '{}' {} -lavfi "
      "'[0:v]settb=1/25,setpts=N[a];[1:v]settb=1/25,setpts=N[b];[a][b]psnr=stats_file={}' -f null - 2>&1",
      a.string(), second, stats));
  // One line per picture: "n:1 mse_avg:... psnr_avg:<dB or inf> psnr_y:...".
  std::vector<double> result;
  std::ifstream in(stats);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("psnr_avg:");
    if (at == std::string::npos) continue;
    const auto value = line.substr(at + 9, line.find(' ', at) - at - 9);
    result.push_back(value == "inf" ? 99.0 : std::stod(value));
  }
  return result;
}

// One stream encoded with the map of unchanged macroblocks and one without, from the same
// pictures (scaled to the target size as the stream would): small changes at macroblock edges next to
// unchanged macroblocks, a larger piece, and the pointer moving over all of it. Both decode to the same
// pictures. A third encoder told that nothing ever changed shows that the comparison would see a wrong map.
void expectStreamsWithTheMapDecodeLikeOnesWithout(const std::string& display, int targetWidth,
                                                  int targetHeight) {
  ScreenPainter painter(display);
  painter.paintCells(31);
  painter.movePointer(200, 150);
  X11DisplayCapture capture({display, true, true});
  const auto area = capture.area();
  const X264EncoderSettings settings{targetWidth, targetHeight, 30, 8'000'000, 60};
  ScreenPixelConverter converter(targetWidth, targetHeight);
  X264Encoder told(settings);
  X264Encoder plain(settings);
  X264Encoder misled(settings);
  const ScreenDamage nothing(targetWidth, targetHeight);
  std::vector<Bytes> toldUnits, plainUnits, misledUnits;
  TemporaryDirectory folder;
  std::ofstream source(folder.path() / "source.yuv", std::ios::binary);
  const int pictures = 45;
  int hinted = 0;
  settle(capture);
  for (int i = 0; i < pictures; ++i) {
    const unsigned long colour = (0x010203u * static_cast<unsigned>(i * 11)) ^ 0x40A0E0u;
    if (i > 0) {
      const int mx = 16 * (5 + (i * 7) % 60), my = 16 * (4 + (i * 5) % 40);
      switch (i % 3) {
        case 0:  // two pixels left of a macroblock edge, two right of another: neighbours unchanged
          painter.paintRect(colour, mx - 2, my, 2, 16);
          painter.paintRect(colour ^ 0xFFFFFF, mx + 160, my + 32, 2, 2);
          break;
        case 1:  // a 480x270 piece at a place off the macroblock grid
          painter.paintRect(colour, (i * 397) % (area.width - 480) + 3, (i * 211) % (area.height - 270) + 5,
                            480, 270);
          break;
        default: break;  // the pointer alone
      }
      painter.movePointer(mx + 8, my + 3);
      ASSERT_TRUE(collectChange(capture));
    }
    // As the capture loop does: a keyframe is read and converted whole and told nothing.
    const bool keyframe = i == 0 || i == 30;
    const ScreenDamage* changed = nullptr;
    const I420Picture* picture = nullptr;
    if (keyframe) {
      picture = &converter.convert(capture.capture());
    } else {
      picture = &converter.convert(capture.captureChanges(), capture.changed());
      changed = &converter.changedParts();
      if (!changed->isWhole()) ++hinted;
    }
    for (const auto* plane : {&picture->y, &picture->u, &picture->v})
      source.write(reinterpret_cast<const char*>(plane->data()), static_cast<std::streamsize>(plane->size()));
    toldUnits.push_back(told.encode(*picture, keyframe, changed).annexB);
    plainUnits.push_back(plain.encode(*picture, keyframe).annexB);
    misledUnits.push_back(misled.encode(*picture, keyframe, keyframe ? nullptr : &nothing).annexB);
  }
  EXPECT_EQ(hinted, pictures - 2) << "every picture between the keyframes came with a map";
  source.close();
  const auto toldProbe = testing::probeH264(toldUnits, folder.path() / "told.h264");
  (void)testing::probeH264(plainUnits, folder.path() / "plain.h264");
  (void)testing::probeH264(misledUnits, folder.path() / "misled.h264");
  EXPECT_EQ(toldProbe.width, targetWidth);
  EXPECT_EQ(toldProbe.height, targetHeight);
  EXPECT_EQ(toldProbe.decodedFrames, pictures);
  EXPECT_EQ(toldProbe.decodeErrors, "");

  // Each decoded picture against the picture itself: with the map no more than 1.5 dB below the
  // stream without it (a skipped macroblock keeps the quality it was coded at; above 50 dB the
  // difference is invisible and not counted), and against the
  // stream without the map 40 dB or more wherever that stream is itself that close to the picture
  // (two codings of the same picture differ by as much as each differs from it).
  const auto size = fmt::format("{}x{}", targetWidth, targetHeight);
  const auto pictureFile = folder.path() / "source.yuv";
  const auto toldSource = psnrPerPicture(folder.path() / "told.h264", pictureFile, size);
  const auto plainSource = psnrPerPicture(folder.path() / "plain.h264", pictureFile, size);
  const auto misledSource = psnrPerPicture(folder.path() / "misled.h264", pictureFile, size);
  const auto toldPlain = psnrPerPicture(folder.path() / "told.h264", folder.path() / "plain.h264");
  ASSERT_EQ(toldSource.size(), static_cast<std::size_t>(pictures));
  ASSERT_EQ(plainSource.size(), toldSource.size());
  ASSERT_EQ(misledSource.size(), toldSource.size());
  ASSERT_EQ(toldPlain.size(), toldSource.size());
  std::string worse;
  double worstLoss = -99, misledWorstLoss = -99;
  for (std::size_t i = 0; i < toldSource.size(); ++i) {
    if ((toldSource[i] < plainSource[i] - 1.5 && toldSource[i] < 50.0) ||
        (plainSource[i] >= 40.0 && toldPlain[i] < 40.0)) {
      worse += fmt::format(" {} ({:.1f} dB with the map, {:.1f} without, {:.1f} between them)", i,
                           toldSource[i], plainSource[i], toldPlain[i]);
    }
    worstLoss = std::max(worstLoss, plainSource[i] - toldSource[i]);
    misledWorstLoss = std::max(misledWorstLoss, plainSource[i] - misledSource[i]);
  }
  EXPECT_EQ(worse, "") << "pictures the map made worse";
  ::testing::Test::RecordProperty(
      "psnr_dB_lowest_told_plain_vs_source_worst_loss_lowest_between",
      fmt::format("{:.2f} {:.2f} {:.2f} {:.2f}", *std::min_element(toldSource.begin(), toldSource.end()),
                  *std::min_element(plainSource.begin(), plainSource.end()), worstLoss,
                  *std::min_element(toldPlain.begin(), toldPlain.end())));
  EXPECT_GT(misledWorstLoss, 10.0) << "a map claiming that nothing changed leaves stale pictures";
}

TEST(DamageCapture, PicturesWithUnchangedMacroblocksSkippedDecodeLikeOnesAnalysedEverywhere) {
  ScreenPainter probe(sharedDisplay());
  expectStreamsWithTheMapDecodeLikeOnesWithout(sharedDisplay(), probe.width(), probe.height());
}

TEST(DamageCapture, ScaledPicturesWithUnchangedMacroblocksSkippedDecodeLikeOnesAnalysedEverywhere) {
  PrivateXServer server(1280, 720);
  {
    SCOPED_TRACE("2:1");
    expectStreamsWithTheMapDecodeLikeOnesWithout(server.displayName(), 640, 360);
  }
  {
    SCOPED_TRACE("4:3");
    expectStreamsWithTheMapDecodeLikeOnesWithout(server.displayName(), 960, 540);
  }
}

}  // namespace
}  // namespace vantrel

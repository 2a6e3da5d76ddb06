// What a picture costs when only part of the screen changed, and what converting a large screen
// costs, measured in one run so that the figures compare.
//
// Conversion alone (synthetic pictures, no display): a whole 1080p conversion against one of a
// 480x270 change (6 % of the screen), and a 2160p or 1440p screen scaled to 1080p the way the
// stream did first (convert at full size, then scale the planes), then (halve the whole BGRA
// picture, then convert) and now (halve and convert a strip of rows at a time).
//
// The screen path (BM_ScreenPath, needs an X display: DISPLAY, else a private Xvfb of
// --screen=WxH): the bench paints itself, one step at a time, a desktop-like scene (panels and
// lines of text) on a full-screen window, and after each step captures, converts and encodes one
// picture as the stream does, counting the CPU time of this process (the encoder's threads
// included, the painting and the X server not). In alternation, --rounds times:
//   partial  a 480x270 piece of the scene copied to a new place (6 % of 1080p), read and
//            converted where it changed, the encoder told which macroblocks did not change;
//   partial-no-hint  the same, the encoder not told (it analyses every macroblock);
//   partial-before  the same change, read and converted whole (the path before);
//   full     the whole scene scrolled, as a moving picture, read a band of rows at a time and each
//            band converted as it arrives (as the stream reads a whole screen);
//   full-at-once  the same, read in one request and then converted (the way before); both also
//            report the wall time from the read's request to the converted picture;
//   x264     the encoder alone on pictures like those of `full` (and of `partial`), prepared
//            untimed;
//   x264-unchanged  the encoder alone on the same picture again and again, told that nothing
//            changed and not: its cost per picture whatever the change;
//   scale-before  (screens above 1080p) the full scene converted and scaled the previous way;
//   halve-whole  (3840x2160) the full scene halved as a whole picture, then converted (the way
//            before the halving went by strips), and the bytes in which the two ways differ.
// Reports CPU ms per picture of each, the ratios, the conversion's share of a full picture, and
// the PSNR of the previous scaling against the current one and of the partial pictures against
// whole conversions of the same screen.
//
//   taskset -c 6,7 bench_ScreenPartialChange [--pictures=N] [--rounds=N] [--screen=3840x2160]
//                                            [--server-pid=PID of the X server on DISPLAY]
//                                            [--bitrate=bit/s, 8000000 as the stream]

#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/Screen/ScreenPixelConverter.hpp"
#include "Platform/Screen/X264Encoder.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "support/ScreenBenchSupport.hpp"

namespace {

using vantrel::BgraImageView;
using vantrel::I420Picture;
using vantrel::ScreenDamage;
using vantrel::ScreenPixelConverter;
using vantrel::ScreenRect;
using namespace vantrel::bench;

int pictureCount = 150;
int roundCount = 3;
std::string screenSize = "1920x1080";
std::string displayName;
int bitrate = 8'000'000;  // the stream's; --bitrate shows how the encoder's cost follows it

// --- the previous large-screen conversion, kept here to compare with ---

class ConvertThenScale {
 public:
  ConvertThenScale(int targetWidth, int targetHeight) { allocate(target_, targetWidth, targetHeight); }
  const I420Picture& convert(const BgraImageView& source) {
    if (full_.width != source.width || full_.height != source.height)
      allocate(full_, source.width, source.height);
    libyuv::ARGBToI420(source.data, source.stride, full_.y.data(), full_.strideY(), full_.u.data(),
                       full_.strideUV(), full_.v.data(), full_.strideUV(), source.width, source.height);
    libyuv::I420Scale(full_.y.data(), full_.strideY(), full_.u.data(), full_.strideUV(), full_.v.data(),
                      full_.strideUV(), full_.width, full_.height, target_.y.data(), target_.strideY(),
                      target_.u.data(), target_.strideUV(), target_.v.data(), target_.strideUV(),
                      target_.width, target_.height, libyuv::kFilterBox);
    return target_;
  }

 private:
  static void allocate(I420Picture& p, int w, int h) {
    p.width = w;
    p.height = h;
    p.y.assign(static_cast<std::size_t>(w) * h, 0);
    p.u.assign(static_cast<std::size_t>((w + 1) / 2) * ((h + 1) / 2), 128);
    p.v.assign(p.u.size(), 128);
  }
  I420Picture full_;
  I420Picture target_;
};

// The halving before it went by strips: the whole picture halved into a BGRA picture of the
// target's size, then converted.
class HalveWholeThenConvert {
 public:
  HalveWholeThenConvert(int targetWidth, int targetHeight)
      : halved_(static_cast<std::size_t>(targetWidth) * targetHeight * 4),
        converter_(targetWidth, targetHeight),
        width_(targetWidth),
        height_(targetHeight) {}
  const I420Picture& convert(const BgraImageView& source) {
    libyuv::ARGBScale(source.data, source.stride, source.width, source.height, halved_.data(), width_ * 4,
                      width_, height_, libyuv::kFilterBox);
    return converter_.convert({halved_.data(), width_ * 4, width_, height_});
  }

 private:
  std::vector<std::uint8_t> halved_;
  ScreenPixelConverter converter_;
  int width_, height_;
};

// PSNR over the three planes together (peak 255); infinity when identical.
double psnr(const I420Picture& a, const I420Picture& b) {
  double squared = 0;
  std::size_t count = 0;
  for (const auto plane : {&I420Picture::y, &I420Picture::u, &I420Picture::v}) {
    const auto& x = a.*plane;
    const auto& y = b.*plane;
    for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
      const double d = static_cast<double>(x[i]) - static_cast<double>(y[i]);
      squared += d * d;
    }
    count += x.size();
  }
  if (squared == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 / (squared / static_cast<double>(count)));
}

// A desktop-like synthetic picture: panels in flat colours, stripes of "text".
std::vector<std::uint8_t> syntheticScreen(int w, int h) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4, 0xF0);
  std::mt19937 random(3);
  for (int panel = 0; panel < 200; ++panel) {
    const int x0 = static_cast<int>(random() % static_cast<unsigned>(w));
    const int y0 = static_cast<int>(random() % static_cast<unsigned>(h));
    const int pw = 40 + static_cast<int>(random() % 400), ph = 20 + static_cast<int>(random() % 200);
    const std::uint32_t colour = random();
    for (int y = y0; y < std::min(h, y0 + ph); ++y) {
      for (int x = x0; x < std::min(w, x0 + pw); ++x) {
        std::memcpy(&pixels[(static_cast<std::size_t>(y) * w + x) * 4], &colour, 4);
      }
    }
  }
  for (int y = 4; y < h; y += 18) {
    for (int row = 0; row < 9; ++row) {
      for (int x = 0; x < w; ++x) {
        if (random() % 3 == 0)
          std::memset(&pixels[(static_cast<std::size_t>(y + row) % h * w + x) * 4], 0x20, 3);
      }
    }
  }
  return pixels;
}

void BM_Convert1080pWhole(benchmark::State& state) {
  auto pixels = syntheticScreen(1920, 1080);
  const BgraImageView view{pixels.data(), 1920 * 4, 1920, 1080};
  ScreenPixelConverter converter(1920, 1080);
  for (auto _ : state) benchmark::DoNotOptimize(converter.convert(view).y.data());
}
BENCHMARK(BM_Convert1080pWhole)->Unit(benchmark::kMillisecond);

void BM_Convert1080pChanged480x270(benchmark::State& state) {
  auto pixels = syntheticScreen(1920, 1080);
  const BgraImageView view{pixels.data(), 1920 * 4, 1920, 1080};
  ScreenPixelConverter converter(1920, 1080);
  (void)converter.convert(view);
  int step = 0;
  for (auto _ : state) {
    ScreenDamage damage(1920, 1080);
    damage.add({(step * 397) % (1920 - 480), (step * 211) % (1080 - 270), 480, 270});
    ++step;
    benchmark::DoNotOptimize(converter.convert(view, damage).y.data());
  }
}
BENCHMARK(BM_Convert1080pChanged480x270)->Unit(benchmark::kMillisecond);

enum class LargeWay { convertThenScale, halveWhole, current };

template <LargeWay way>
void BM_ConvertLargeTo1080p(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  auto pixels = syntheticScreen(w, h);
  const BgraImageView view{pixels.data(), w * 4, w, h};
  ConvertThenScale previous(1920, 1080);
  HalveWholeThenConvert halveWhole(1920, 1080);
  ScreenPixelConverter current(1920, 1080);
  for (auto _ : state) {
    if constexpr (way == LargeWay::convertThenScale) {
      benchmark::DoNotOptimize(previous.convert(view).y.data());
    } else if constexpr (way == LargeWay::halveWhole) {
      benchmark::DoNotOptimize(halveWhole.convert(view).y.data());
    } else {
      benchmark::DoNotOptimize(current.convert(view).y.data());
    }
  }
  state.counters["psnr_dB_current_vs_before"] = psnr(previous.convert(view), current.convert(view));
}
BENCHMARK(BM_ConvertLargeTo1080p<LargeWay::convertThenScale>)
    ->Name("BM_ConvertLargeTo1080p/before")
    ->Args({3840, 2160})
    ->Args({2560, 1440})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertLargeTo1080p<LargeWay::halveWhole>)
    ->Name("BM_ConvertLargeTo1080p/halve-whole")
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertLargeTo1080p<LargeWay::current>)
    ->Name("BM_ConvertLargeTo1080p/current")
    ->Args({3840, 2160})
    ->Args({2560, 1440})
    ->Unit(benchmark::kMillisecond);

// Reads `size` bytes 64 at a time (four 16-byte vectors, whatever the processor), fast enough
// that memory and not the loop sets the pace.
std::uint64_t readEveryByte(const std::uint8_t* bytes, std::size_t size) {
  using Vector = std::uint64_t __attribute__((vector_size(16)));
  Vector a{}, b{}, c{}, d{};
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    Vector w, x, y, z;
    std::memcpy(&w, bytes + i, 16);
    std::memcpy(&x, bytes + i + 16, 16);
    std::memcpy(&y, bytes + i + 32, 16);
    std::memcpy(&z, bytes + i + 48, 16);
    a |= w;
    b |= x;
    c |= y;
    d |= z;
  }
  const Vector all = a | b | c | d;
  std::uint64_t result = all[0] | all[1];
  for (; i < size; ++i) result |= bytes[i];
  return result;
}

// The floor of any conversion that reads every pixel of a 2160p picture: reading it once.
void BM_Read2160pBgra(benchmark::State& state) {
  const auto pixels = syntheticScreen(3840, 2160);
  for (auto _ : state) benchmark::DoNotOptimize(readEveryByte(pixels.data(), pixels.size()));
}
BENCHMARK(BM_Read2160pBgra)->Unit(benchmark::kMillisecond);

// The same read when another processor has just written the picture, band by band, as the X
// server does into the capture's shared memory: range(0) 0 writes each 2 MB band on the reading
// core, 1 on another core the process may use. Counts the reading thread's CPU per 2160p picture.
void BM_ReadBandsWrittenBy(benchmark::State& state) {
  const bool otherCore = state.range(0) != 0;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
    state.SkipWithError("cannot read the processor affinity");
    return;
  }
  std::vector<int> cores;
  for (int core = 0; core < CPU_SETSIZE; ++core) {
    if (CPU_ISSET(core, &allowed)) cores.push_back(core);
  }
  if (otherCore && cores.size() < 2) {
    state.SkipWithError("needs two processors (taskset -c A,B)");
    return;
  }
  const auto pin = [](int core) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  };
  constexpr int width = 3840, height = 2160, bandRows = 2 * 1024 * 1024 / (width * 4);
  const auto source = syntheticScreen(width, height);
  std::vector<std::uint8_t> shared(source.size());
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  // Each request (a new ticket, the band to copy set before it) is answered by `done` = ticket;
  // ticket -1 ends the writer.
  std::atomic<long> ticket{0}, done{0};
  int bandToWrite = 0;
  std::thread writer([&] {
    pin(cores[otherCore ? 1 : 0]);
    for (long seen = 0;;) {
      const long asked = ticket.load(std::memory_order_acquire);
      if (asked == seen) {
        std::this_thread::yield();
        continue;
      }
      if (asked < 0) break;
      seen = asked;
      for (int row = bandToWrite * bandRows; row < std::min(height, (bandToWrite + 1) * bandRows); ++row) {
        std::memcpy(shared.data() + row * rowBytes, source.data() + row * rowBytes, rowBytes);
      }
      done.store(asked, std::memory_order_release);
    }
  });
  pin(cores[0]);
  double cpu = 0;
  int pictures = 0;
  long requests = 0;
  for (auto _ : state) {
    for (int band = 0; band * bandRows < height; ++band) {
      bandToWrite = band;
      ticket.store(++requests, std::memory_order_release);
      while (done.load(std::memory_order_acquire) != requests) std::this_thread::yield();
      const auto offset = static_cast<std::size_t>(band) * bandRows * rowBytes;
      const auto bytes = std::min(static_cast<std::size_t>(bandRows) * rowBytes, shared.size() - offset);
      const double c0 = threadCpuSeconds();
      benchmark::DoNotOptimize(readEveryByte(shared.data() + offset, bytes));
      cpu += threadCpuSeconds() - c0;
    }
    ++pictures;
  }
  ticket.store(-1, std::memory_order_release);
  writer.join();
  CPU_ZERO(&allowed);
  for (int core : cores) CPU_SET(core, &allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
  if (pictures > 0) state.counters["read_cpu_ms_per_picture"] = cpu * 1000 / pictures;
}
BENCHMARK(BM_ReadBandsWrittenBy)->ArgName("other_core")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// --- the screen path on an X display ---

class ScenePainter {
 public:
  explicit ScenePainter(const std::string& name) {
    d_ = XOpenDisplay(name.c_str());
    if (!d_) return;
    const int screen = DefaultScreen(d_);
    w_ = DisplayWidth(d_, screen);
    h_ = DisplayHeight(d_, screen);
    window_ = mapFullScreenWindow(d_);
    // The scene both screen benches paint: panels and lines of text, twice the screen's size.
    const Scene scene = paintScene(d_, window_);
    scene_ = scene.pixmap;
    gc_ = scene.gc;
    scroll(0);
  }
  ~ScenePainter() {
    if (d_) XCloseDisplay(d_);
  }
  bool ok() const { return d_ != nullptr; }
  int width() const { return w_; }
  int height() const { return h_; }
  // The whole screen moves: the scene at a diagonal offset.
  void scroll(int step) {
    XCopyArea(d_, scene_, window_, gc_, (step * 3) % w_, (step * 2) % h_, static_cast<unsigned>(w_),
              static_cast<unsigned>(h_), 0, 0);
    XSync(d_, False);
  }
  // A piece of 1/4 x 1/4 of a 1080p screen copied to another place (6 % of 1080p).
  void movePiece(int step) {
    const int pw = 480, ph = 270;
    XCopyArea(d_, scene_, window_, gc_, (step * 131) % w_, (step * 71) % h_, pw, ph, (step * 397) % (w_ - pw),
              (step * 211) % (h_ - ph));
    XSync(d_, False);
  }

 private:
  Display* d_ = nullptr;
  Window window_ = 0;
  Pixmap scene_ = 0;
  GC gc_ = nullptr;
  int w_ = 0, h_ = 0;
};

bool collectChange(vantrel::X11DisplayCapture& capture) {
  bool seen = false;
  for (int i = 0; i < 20 && !seen; ++i) seen = capture.collectChanges();
  return seen;
}

struct Phase {
  double cpu = 0;       // seconds over all pictures
  double capture = 0;   // of which collecting the damage and reading the screen (this thread)
  double convert = 0;   // of which conversion (this thread)
  double server = 0;    // the X server's CPU over the phase (painting included), when known
  double read = 0;      // wall time from the read's request to the converted picture
  long long bytes = 0;  // encoded
  int pictures = 0;
  double perPicture() const { return pictures ? cpu * 1000 / pictures : 0; }
  double ms(double seconds) const { return pictures ? seconds * 1000 / pictures : 0; }
};

pid_t serverPid = -1;  // the X server, to count its copies

double serverCpuSeconds() {
  if (serverPid <= 0) return 0;
  FILE* f = std::fopen(fmt::format("/proc/{}/stat", serverPid).c_str(), "r");
  if (!f) return 0;
  char buffer[1024] = {};
  const auto n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  // Fields 14 and 15 (utime, stime) follow the command name in parentheses.
  const char* p = std::strrchr(buffer, ')');
  if (!p || n == 0) return 0;
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

enum class Kind { partial, partialNoHint, partialBefore, full, fullAtOnce, scaleBefore, halveBefore };

// One phase: `pictures` steps painted, each captured, converted and encoded; CPU counted from
// the change's collection to the encoded picture. Keyframes every 60 pictures as the stream.
Phase runPhase(ScenePainter& painter, Kind kind, int pictures, int round, double* psnrSum = nullptr,
               int* psnrCount = nullptr) {
  vantrel::X11DisplayCapture capture({displayName, false, true});
  const int tw = std::min(1920, capture.area().width), th = std::min(1080, capture.area().height);
  ScreenPixelConverter converter(tw, th);
  ConvertThenScale previous(tw, th);
  HalveWholeThenConvert halveWhole(tw, th);
  vantrel::X264Encoder encoder({tw, th, 30, bitrate, 60});
  ScreenPixelConverter check(tw, th);
  Phase phase;
  const double server0 = serverCpuSeconds();
  const bool partial = kind == Kind::partial || kind == Kind::partialNoHint || kind == Kind::partialBefore;
  for (int i = 0; i < pictures; ++i) {
    const int step = round * 100000 + i;
    if (partial) {
      painter.movePiece(step);
    } else {
      painter.scroll(step);
    }
    const double cpu0 = processCpuSeconds();
    const double capture0 = threadCpuSeconds();
    (void)collectChange(capture);
    const bool keyframe = i % 60 == 0;
    const I420Picture* picture = nullptr;
    const ScreenDamage* changed = nullptr;
    double convertSeconds = 0;
    if ((kind == Kind::partial || kind == Kind::partialNoHint) && !keyframe) {
      const auto image = capture.captureChanges();
      const double c0 = threadCpuSeconds();
      phase.capture += c0 - capture0;
      picture = &converter.convert(image, capture.changed());
      convertSeconds = threadCpuSeconds() - c0;
      if (kind == Kind::partial) changed = &converter.changedParts();
    } else if (kind == Kind::full) {
      // As the stream reads a whole screen: a band at a time, each converted as it arrives.
      const auto read0 = std::chrono::steady_clock::now();
      const auto image = capture.capture([&](const BgraImageView& source, int firstRow, int rowCount) {
        const double c0 = threadCpuSeconds();
        converter.convertRows(source, firstRow, rowCount);
        convertSeconds += threadCpuSeconds() - c0;
      });
      picture = &converter.finishRows(image);
      phase.read += std::chrono::duration<double>(std::chrono::steady_clock::now() - read0).count();
      phase.capture += threadCpuSeconds() - capture0 - convertSeconds;
    } else {
      const auto read0 = std::chrono::steady_clock::now();
      const auto image = capture.capture();
      const double c0 = threadCpuSeconds();
      phase.capture += c0 - capture0;
      picture = kind == Kind::scaleBefore   ? &previous.convert(image)
                : kind == Kind::halveBefore ? &halveWhole.convert(image)
                                            : &converter.convert(image);
      convertSeconds = threadCpuSeconds() - c0;
      phase.read += std::chrono::duration<double>(std::chrono::steady_clock::now() - read0).count();
    }
    phase.bytes += static_cast<long long>(encoder.encode(*picture, keyframe, changed).annexB.size());
    phase.cpu += processCpuSeconds() - cpu0;
    phase.convert += convertSeconds;
    ++phase.pictures;
    if (psnrSum && kind == Kind::partial && i % 10 == 5) {
      // The partial picture against a whole conversion of the same screen (not timed).
      vantrel::X11DisplayCapture fresh({displayName, false, true});
      *psnrSum += std::min(99.0, psnr(*picture, check.convert(fresh.capture())));
      ++*psnrCount;
    }
  }
  phase.server = serverCpuSeconds() - server0;
  return phase;
}

// The encoder alone on pictures like those of the full-motion phase (or of the partial ones),
// each prepared untimed.
Phase runEncoderAlone(ScenePainter& painter, int pictures, int round, bool partial) {
  vantrel::X11DisplayCapture capture({displayName, false, true});
  const int tw = std::min(1920, capture.area().width), th = std::min(1080, capture.area().height);
  ScreenPixelConverter converter(tw, th);
  vantrel::X264Encoder encoder({tw, th, 30, bitrate, 60});
  Phase phase;
  for (int i = 0; i < pictures; ++i) {
    if (partial) {
      painter.movePiece(round * 100000 + i);
    } else {
      painter.scroll(round * 100000 + i);
    }
    const auto& picture = converter.convert(capture.capture());
    const double cpu0 = processCpuSeconds();
    benchmark::DoNotOptimize(encoder.encode(picture, i % 60 == 0).annexB.data());
    phase.cpu += processCpuSeconds() - cpu0;
    ++phase.pictures;
  }
  return phase;
}

// The encoder's floor: one picture encoded again and again, with a map saying that no
// macroblock changed (`told`) or without one, after a keyframe of it.
Phase runUnchangedPictures(ScenePainter& painter, int pictures, int round, bool told) {
  vantrel::X11DisplayCapture capture({displayName, false, true});
  const int tw = std::min(1920, capture.area().width), th = std::min(1080, capture.area().height);
  ScreenPixelConverter converter(tw, th);
  vantrel::X264Encoder encoder({tw, th, 30, bitrate, 60});
  painter.scroll(round * 100000);
  const auto& picture = converter.convert(capture.capture());
  (void)encoder.encode(picture, true);
  const ScreenDamage nothing(tw, th);
  Phase phase;
  for (int i = 1; i < pictures; ++i) {
    const double cpu0 = processCpuSeconds();
    phase.bytes +=
        static_cast<long long>(encoder.encode(picture, false, told ? &nothing : nullptr).annexB.size());
    phase.cpu += processCpuSeconds() - cpu0;
    ++phase.pictures;
  }
  return phase;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void BM_ScreenPath(benchmark::State& state) {
  for (auto _ : state) {
    ScenePainter painter(displayName);
    if (!painter.ok()) {
      state.SkipWithError("no X display");
      return;
    }
    const bool large = painter.width() > 1920 || painter.height() > 1080;
    const bool halving = painter.width() == 3840 && painter.height() == 2160;
    std::map<std::string, std::vector<double>> perPicture;
    std::vector<double> convertShare, convertShareBefore, partialRatio, partialNoHintRatio,
        partialBeforeRatio, x264Ratio, scalePsnr, convertShareHalveWhole, x264RatioAtOnce, convertShareAtOnce;
    long long halvingDifferences = 0;
    double psnrSum = 0;
    int psnrCount = 0;
    for (int round = 0; round < roundCount; ++round) {
      // With and without the hint in turns, first one then the other, so that neither always
      // runs on a warmer (or busier) machine.
      Phase partial;
      Phase partialNoHint;
      if (round % 2 == 0) {
        partial = runPhase(painter, Kind::partial, pictureCount, round, &psnrSum, &psnrCount);
        partialNoHint = runPhase(painter, Kind::partialNoHint, pictureCount, round);
      } else {
        partialNoHint = runPhase(painter, Kind::partialNoHint, pictureCount, round);
        partial = runPhase(painter, Kind::partial, pictureCount, round, &psnrSum, &psnrCount);
      }
      const auto partialBefore = runPhase(painter, Kind::partialBefore, pictureCount, round);
      Phase full;
      Phase fullAtOnce;
      if (round % 2 == 0) {
        full = runPhase(painter, Kind::full, pictureCount, round);
        fullAtOnce = runPhase(painter, Kind::fullAtOnce, pictureCount, round);
      } else {
        fullAtOnce = runPhase(painter, Kind::fullAtOnce, pictureCount, round);
        full = runPhase(painter, Kind::full, pictureCount, round);
      }
      const auto alone = runEncoderAlone(painter, pictureCount, round, false);
      const auto alonePartial = runEncoderAlone(painter, pictureCount, round, true);
      const auto unchangedTold = runUnchangedPictures(painter, pictureCount, round, true);
      const auto unchanged = runUnchangedPictures(painter, pictureCount, round, false);
      perPicture["x264-unchanged-told"].push_back(unchangedTold.perPicture());
      perPicture["x264-unchanged"].push_back(unchanged.perPicture());
      perPicture["partial"].push_back(partial.perPicture());
      perPicture["partial-no-hint"].push_back(partialNoHint.perPicture());
      perPicture["partial-before"].push_back(partialBefore.perPicture());
      perPicture["full"].push_back(full.perPicture());
      perPicture["full-at-once"].push_back(fullAtOnce.perPicture());
      perPicture["read-to-picture"].push_back(full.ms(full.read));
      perPicture["read-to-picture-at-once"].push_back(fullAtOnce.ms(fullAtOnce.read));
      x264RatioAtOnce.push_back(fullAtOnce.perPicture() / alone.perPicture());
      convertShareAtOnce.push_back(fullAtOnce.convert / fullAtOnce.cpu);
      perPicture["x264"].push_back(alone.perPicture());
      perPicture["x264-partial"].push_back(alonePartial.perPicture());
      partialRatio.push_back(partial.perPicture() / full.perPicture());
      partialNoHintRatio.push_back(partialNoHint.perPicture() / full.perPicture());
      partialBeforeRatio.push_back(partialBefore.perPicture() / full.perPicture());
      x264Ratio.push_back(full.perPicture() / alone.perPicture());
      convertShare.push_back(full.convert / full.cpu);
      std::string line = fmt::format(
          "round {}: ms/picture partial {:.3f}, partial-no-hint {:.3f}, partial-before {:.3f}, full {:.3f}, "
          "x264 alone {:.3f} (on partial pictures {:.3f}); partial/full {:.3f}, partial-no-hint/full {:.3f}, "
          "partial-before/full {:.3f}, full/x264 {:.3f}; conversion {:.1f}% of full; read in one request: "
          "full {:.3f} ms/picture, full/x264 {:.3f}, conversion {:.1f}%; read to converted picture {:.3f} ms "
          "in bands, {:.3f} ms at once",
          round + 1, partial.perPicture(), partialNoHint.perPicture(), partialBefore.perPicture(),
          full.perPicture(), alone.perPicture(), alonePartial.perPicture(), partialRatio.back(),
          partialNoHintRatio.back(), partialBeforeRatio.back(), x264Ratio.back(), 100 * convertShare.back(),
          fullAtOnce.perPicture(), x264RatioAtOnce.back(), 100 * convertShareAtOnce.back(),
          full.ms(full.read), fullAtOnce.ms(fullAtOnce.read));
      if (large) {
        const auto before = runPhase(painter, Kind::scaleBefore, pictureCount, round);
        perPicture["full-scale-before"].push_back(before.perPicture());
        convertShareBefore.push_back(before.convert / before.cpu);
        line += fmt::format("; full with the previous scaling {:.3f} ms/picture, conversion {:.1f}%",
                            before.perPicture(), 100 * convertShareBefore.back());
        if (halving) {
          const auto halveBefore = runPhase(painter, Kind::halveBefore, pictureCount, round);
          perPicture["full-halve-whole"].push_back(halveBefore.perPicture());
          convertShareHalveWhole.push_back(halveBefore.convert / halveBefore.cpu);
          line += fmt::format(
              "; halving the whole picture first {:.3f} ms/picture (convert {:.3f}), conversion "
              "{:.1f}%; now convert {:.3f}",
              halveBefore.perPicture(), halveBefore.ms(halveBefore.convert),
              100 * convertShareHalveWhole.back(), full.ms(full.convert));
        }
      }
      for (const Phase* p : std::initializer_list<const Phase*>{&partial, &partialNoHint, &partialBefore,
                                                                &full, &fullAtOnce}) {
        line += fmt::format(
            "\n  {}: capture {:.3f}, convert {:.3f}, encode and the rest {:.3f} ms/picture, "
            "{:.1f} KB/picture; X server {:.3f} ms/picture (painting included)",
            p == &partial         ? "partial"
            : p == &partialNoHint ? "partial-no-hint"
            : p == &full          ? "full"
            : p == &fullAtOnce    ? "full-at-once"
                                  : "partial-before",
            p->ms(p->capture), p->ms(p->convert), p->perPicture() - p->ms(p->capture) - p->ms(p->convert),
            static_cast<double>(p->bytes) / 1024.0 / std::max(1, p->pictures), p->ms(p->server));
      }
      line += fmt::format(
          "\n  x264 on an unchanged picture: {:.3f} ms/picture told so, {:.3f} not ({:.1f} and {:.1f} "
          "KB/picture)",
          unchangedTold.perPicture(), unchanged.perPicture(),
          static_cast<double>(unchangedTold.bytes) / 1024.0 / std::max(1, unchangedTold.pictures),
          static_cast<double>(unchanged.bytes) / 1024.0 / std::max(1, unchanged.pictures));
      fmt::print(stderr, "{}\n", line);
    }
    if (large) {
      // The previous scaling against the current one on the same screen.
      vantrel::X11DisplayCapture capture({displayName, false, true});
      ScreenPixelConverter current(1920, 1080);
      ConvertThenScale previous(1920, 1080);
      for (int i = 0; i < 5; ++i) {
        painter.scroll(i * 97);
        const auto image = capture.capture();
        scalePsnr.push_back(psnr(previous.convert(image), current.convert(image)));
        if (halving) {
          // The strips against the whole halving, byte for byte.
          HalveWholeThenConvert halveWhole(1920, 1080);
          const auto& a = halveWhole.convert(image);
          const auto& b = current.convert(image);
          for (const auto plane : {&I420Picture::y, &I420Picture::u, &I420Picture::v}) {
            for (std::size_t k = 0; k < (a.*plane).size(); ++k)
              halvingDifferences += (a.*plane)[k] != (b.*plane)[k];
          }
        }
      }
      if (halving) {
        state.counters["conversion_share_halve_whole"] = median(convertShareHalveWhole);
        state.counters["bytes_differing_strips_vs_halve_whole"] = static_cast<double>(halvingDifferences);
      }
      state.counters["psnr_dB_scaling_current_vs_before"] = median(scalePsnr);
      state.counters["ms_full_scale_before"] = median(perPicture["full-scale-before"]);
      state.counters["conversion_share_before"] = median(convertShareBefore);
    }
    for (const auto& [name, values] : perPicture) state.counters["ms_" + name] = median(values);
    state.counters["ratio_partial_vs_full"] = median(partialRatio);
    state.counters["ratio_partial_no_hint_vs_full"] = median(partialNoHintRatio);
    state.counters["ratio_partial_before_vs_full"] = median(partialBeforeRatio);
    state.counters["ratio_full_vs_x264_alone"] = median(x264Ratio);
    state.counters["conversion_share_full"] = median(convertShare);
    state.counters["ratio_full_at_once_vs_x264_alone"] = median(x264RatioAtOnce);
    state.counters["conversion_share_full_at_once"] = median(convertShareAtOnce);
    state.counters["psnr_dB_partial_vs_whole_capped99"] = psnrCount ? psnrSum / psnrCount : 0;
    fmt::print(
        stderr,
        "{}x{}, {} rounds of {} pictures, medians: partial/full {:.3f} (no hint {:.3f}, before "
        "{:.3f}), full/x264 alone {:.3f} (read in one request {:.3f}), conversion {:.1f}% of a full picture "
        "(read in one request {:.1f}%){}; read to converted picture {:.3f} ms in bands, {:.3f} ms at once; "
        "partial vs whole PSNR {:.1f} dB (99 = identical){}\n",
        painter.width(), painter.height(), roundCount, pictureCount, median(partialRatio),
        median(partialNoHintRatio), median(partialBeforeRatio), median(x264Ratio), median(x264RatioAtOnce),
        100 * median(convertShare), 100 * median(convertShareAtOnce),
        large ? fmt::format(" (previous scaling {:.1f}%)", 100 * median(convertShareBefore)) : "",
        median(perPicture["read-to-picture"]), median(perPicture["read-to-picture-at-once"]),
        psnrCount ? psnrSum / psnrCount : 0,
        large ? fmt::format("; scaling current vs before PSNR {:.2f} dB", median(scalePsnr)) : "");
    if (halving) {
      fmt::print(stderr,
                 "halving the whole picture first: conversion {:.1f}% of a full picture; {} bytes of 5 "
                 "pictures differ between it and the strips\n",
                 100 * median(convertShareHalveWhole), halvingDifferences);
    }
  }
}
BENCHMARK(BM_ScreenPath)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--pictures=", 11) == 0) {
      pictureCount = std::max(10, std::atoi(argv[i] + 11));
    } else if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
      roundCount = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--bitrate=", 10) == 0) {
      bitrate = std::max(100'000, std::atoi(argv[i] + 10));
    } else if (std::strncmp(argv[i], "--server-pid=", 13) == 0) {
      serverPid = std::atoi(argv[i] + 13);
    } else if (std::strncmp(argv[i], "--screen=", 9) == 0) {
      screenSize = argv[i] + 9;
    } else {
      rest.push_back(argv[i]);
    }
  }
  const BenchDisplay display(screenSize);
  displayName = display.name();
  if (display.privateServer() > 0) serverPid = display.privateServer();
  runBenchmarks(rest);
  return 0;
}

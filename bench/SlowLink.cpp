// The pieces of bench/slow-link.sh, which streams the real program's screen to the manager
// stand-in through a slow link: a painter that scrolls a desktop-like scene and numbers every
// picture it paints, the screen's luma for the final comparison, and the figures drawn from the
// painter's and the stand-in's logs.
//
//   bench_SlowLink --paint DISPLAY SECONDS LOG   maps the scene, waits for SIGUSR1, then scrolls it
//                                                by (3, 2) pixels 30 times a second for SECONDS
//                                                and stands still until SIGTERM. LOG gets one line
//                                                per painted picture: its number and the steady
//                                                clock in ns once the X server has drawn it. The
//                                                number shows as 16 black or white 32-pixel squares
//                                                along the top left edge (bit 0 first), as the
//                                                stand-in's --stream-log reads it.
//   bench_SlowLink --screen-luma DISPLAY OUT     the screen's luma as a binary PGM (BT.601, limited
//                                                range: what the program's conversion makes).
//   bench_SlowLink --figures PAINT_LOG STREAM_LOG
//                                                one line of figures (see figures() below).

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fmt/format.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ScreenBenchSupport.hpp"
#include "support/ScreenLuma.hpp"

namespace {

constexpr int markBits = 16;
constexpr int markSquare = 32;

volatile sig_atomic_t startRequested = 0;
volatile sig_atomic_t stopRequested = 0;

std::int64_t steadyNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // std::chrono::steady_clock's clock: the stand-in's
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void drawMark(Display* d, Window window, GC gc, unsigned number) {
  for (int bit = 0; bit < markBits; ++bit) {
    XSetForeground(d, gc, (number >> bit) & 1U ? 0xFFFFFF : 0x000000);
    XFillRectangle(d, window, gc, bit * markSquare, 0, markSquare, markSquare);
  }
}

int paint(const std::string& displayName, double seconds, const std::string& logPath) {
  Display* d = XOpenDisplay(displayName.c_str());
  if (d == nullptr) throw std::runtime_error("cannot open " + displayName);
  std::ofstream log(logPath, std::ios::trunc);
  const Window window = vantrel::bench::mapFullScreenWindow(d);
  const auto scene = vantrel::bench::paintScene(d, window);
  GC gc = XCreateGC(d, window, 0, nullptr);
  const int sw = DisplayWidth(d, DefaultScreen(d));
  const int sh = DisplayHeight(d, DefaultScreen(d));
  const auto show = [&](unsigned step) {
    const int x = static_cast<int>(step * 3) % (scene.width - sw);
    const int y = static_cast<int>(step * 2) % (scene.height - sh);
    XCopyArea(d, scene.pixmap, window, gc, x, y, static_cast<unsigned>(sw), static_cast<unsigned>(sh), 0, 0);
    drawMark(d, window, gc, step);
    XSync(d, False);
  };
  signal(SIGUSR1, [](int) { startRequested = 1; });
  signal(SIGTERM, [](int) { stopRequested = 1; });
  show(0);
  std::puts("painter ready");
  std::fflush(stdout);
  while (!startRequested && !stopRequested) pause();
  const std::int64_t period = 1'000'000'000 / 30;
  const auto steps = static_cast<unsigned>(seconds * 30);
  const std::int64_t start = steadyNanoseconds();
  for (unsigned step = 1; step <= steps && !stopRequested; ++step) {
    const std::int64_t due = start + static_cast<std::int64_t>(step - 1) * period;
    const timespec at{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    show(step);
    log << step << ' ' << steadyNanoseconds() << '\n';
  }
  log.flush();
  std::puts("painter still");
  std::fflush(stdout);
  while (!stopRequested) pause();
  XCloseDisplay(d);
  return 0;
}

int screenLuma(const std::string& displayName, const std::string& outPath) {
  Display* d = XOpenDisplay(displayName.c_str());
  if (d == nullptr) throw std::runtime_error("cannot open " + displayName);
  const auto plane =
      vantrel::testing::screenLuma(d, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d)));
  XCloseDisplay(d);
  if (!plane) throw std::runtime_error("cannot read the screen");
  return vantrel::testing::writeLumaPGM(outPath, *plane) ? 0 : 1;
}

struct Painted {
  long long step;
  std::int64_t at;
};
struct Received {
  std::int64_t at;
  long long bytes;
  bool keyframe;
  int decoded;
  long long mark;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// From the first painted picture on: pictures a second that reached the manager while the scene
// scrolled; keyframes received and per minute; screen bytes received; and, for every painted
// picture, the time until the manager decoded a picture showing it or a later one (p50, p90,
// max), and that time for the last painted picture (the still screen).
int figures(const std::string& paintPath, const std::string& streamPath) {
  std::vector<Painted> painted;
  {
    std::ifstream in(paintPath);
    Painted p{};
    while (in >> p.step >> p.at) painted.push_back(p);
  }
  std::vector<Received> received;
  {
    std::ifstream in(streamPath);
    Received r{};
    int key = 0;
    while (in >> r.at >> r.bytes >> key >> r.decoded >> r.mark) {
      r.keyframe = key != 0;
      received.push_back(r);
    }
  }
  if (painted.empty() || received.empty()) throw std::runtime_error("empty logs");
  const std::int64_t scrollStart = painted.front().at;
  const std::int64_t scrollEnd = painted.back().at;
  const std::int64_t logEnd = received.back().at;
  long long scrollPictures = 0, keyframes = 0, bytes = 0, units = 0;
  for (const auto& r : received) {
    if (r.at < scrollStart) continue;
    ++units;
    bytes += r.bytes;
    if (r.keyframe) ++keyframes;
    if (r.at <= scrollEnd && r.decoded > 0) ++scrollPictures;
  }
  std::vector<double> delays;
  double lastDelay = -1;
  std::size_t next = 0;
  for (const auto& p : painted) {
    while (next < received.size() && (received[next].at < p.at || received[next].mark < p.step)) ++next;
    if (next == received.size()) break;
    const double ms = static_cast<double>(received[next].at - p.at) / 1e6;
    delays.push_back(ms);
    if (&p == &painted.back()) lastDelay = ms;
  }
  const double scrollSeconds = static_cast<double>(scrollEnd - scrollStart) / 1e9;
  const double runMinutes = static_cast<double>(logEnd - scrollStart) / 60e9;
  fmt::print(
      "pictures/s {:.1f}  units {}  keyframes {} ({:.1f}/min)  bytes {}  delay ms p50 {:.0f} p90 {:.0f} "
      "max {:.0f}  last {:.0f}  shown {}/{}\n",
      static_cast<double>(scrollPictures) / scrollSeconds, units, keyframes,
      static_cast<double>(keyframes) / runMinutes, bytes, percentile(delays, 0.5), percentile(delays, 0.9),
      delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end()), lastDelay, delays.size(),
      painted.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--paint") return paint(args[1], std::stod(args[2]), args[3]);
    if (args.size() == 3 && args[0] == "--screen-luma") return screenLuma(args[1], args[2]);
    if (args.size() == 3 && args[0] == "--figures") return figures(args[1], args[2]);
    fmt::print(stderr,
               "usage: bench_SlowLink --paint DISPLAY SECONDS LOG | --screen-luma DISPLAY OUT.pgm |\n"
               "       --figures PAINT_LOG STREAM_LOG\n");
    return 2;
  } catch (const std::exception& error) {
    fmt::print(stderr, "{}\n", error.what());
    return 2;
  }
}

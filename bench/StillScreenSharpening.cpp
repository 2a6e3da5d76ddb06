// How close a still screen's picture comes to the screen after one whole-screen change, over time:
// the capture loop at the session's settings (1920x1080 or the display's size, 30 fps, 8 Mbit/s,
// keyframes every 60 changed pictures, refreshes from 1 s) on the display it is given (DISPLAY: an
// Xvfb, or a GNOME session's Xwayland with VANTREL_DESKTOP_BACKEND=wayland so that the compositor's
// screen cast is read), every ticket given back at once (a fast link). One full-screen window is
// grey, then at once shows the content, then stays still. Every access unit is decoded with FFmpeg
// afterwards and compared with the luma of the picture the window shows.
//
//   bench_StillScreenSharpening --content textured|blocks|text [--off] [--seconds 9] [--burst N]
//
// --burst N: the change is N whole-screen changes at 30 a second (each another part of the
// content), as after paging through a document; the last one stays. Measured from the last.
//
// Prints one JSON line: luma PSNR of the last picture at +0.5, +1, +2, +4 and +8 s after the change,
// the bytes of the pictures before the first refresh (the change) and after it (refreshes and
// refinement), and the bytes of a keyframe of the screen's picture coded at the default settings.
// --off runs the loop without the refinement (the stream as it was).

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Platform/ScreenPixelConverter.hpp"
#include "Platform/X11H264CaptureLoop.hpp"
#include "Platform/X264Encoder.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Unit {
  Clock::time_point at;
  std::size_t bytes = 0;
  bool keyframe = false;
};

std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// The content as 0xRRGGBB pixels.
std::vector<std::uint32_t> contentPixels(const std::string& kind, int width, int height, int seed) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const int x = column + seed * 1031, y = row + seed * 709;
      std::uint32_t rgb = 0;
      if (kind == "blocks") {
        // Blocks of 12 x 12 pixels in random colours, not aligned to the macroblocks.
        rgb = mix(static_cast<std::uint32_t>((x + 5) / 12) * 65537U +
                  static_cast<std::uint32_t>((y + 3) / 12) * 977U) &
              0xFFFFFFU;
      } else if (kind == "text") {
        // A page: dark glyph-like strokes of one and two pixels on white, 9 x 18 pixel cells.
        const int cx = x % 9, cy = y % 18;
        const auto glyph =
            mix(static_cast<std::uint32_t>(x / 9) * 131U + static_cast<std::uint32_t>(y / 18) * 7919U);
        bool ink = false;
        if (cy >= 3 && cy < 14 && cx < 7 && glyph % 7 != 0) {
          const auto bits = mix(glyph);
          ink = ((bits >> (((cy - 3) / 3 * 4 + cx / 2) % 32)) & 1U) != 0 || (cx == 0 && (bits & 1U));
        }
        rgb = ink ? 0x202020U : 0xFAFAFAU;
      } else {
        // A photograph-like texture: smooth waves and colour gradients with fine noise.
        const double wave = 60 * std::sin(x * 0.05) * std::cos(y * 0.07) + 30 * std::sin((x + y) * 0.21);
        const int noise =
            static_cast<int>(
                mix(static_cast<std::uint32_t>(x) * 7919U + static_cast<std::uint32_t>(y) * 104729U) % 24) -
            12;
        const int base = 120 + static_cast<int>(wave) + noise;
        rgb = (std::uint32_t{clampByte(base + x / 30)} << 16) | (std::uint32_t{clampByte(base)} << 8) |
              clampByte(base - y / 20);
      }
      pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
             static_cast<std::size_t>(column)] = rgb;
    }
  }
  return pixels;
}

std::uint8_t lumaOf(std::uint32_t rgb) {
  const std::uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double d = static_cast<double>(int{a[i]} - int{b[i]});
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(count);
  return mse <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

int main(int argc, char** argv) {
  std::string content = "textured";
  bool off = false;
  double seconds = 9;
  int burst = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--content" && i + 1 < argc)
      content = argv[++i];
    else if (arg == "--off")
      off = true;
    else if (arg == "--seconds" && i + 1 < argc)
      seconds = std::atof(argv[++i]);
    else if (arg == "--burst" && i + 1 < argc)
      burst = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s --content textured|blocks|text [--off] [--seconds 9] [--burst N]\n",
                   argv[0]);
      return 2;
    }
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "no X display\n");
    return 1;
  }
  const int screen = DefaultScreen(d);
  const int width = DisplayWidth(d, screen) & ~1, height = DisplayHeight(d, screen) & ~1;
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0x808080;
  const Window window = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(d, window);
  const GC gc = XCreateGC(d, window, 0, nullptr);
  XSync(d, False);

  std::mutex mutex;
  std::vector<Unit> units;
  vantrel::Bytes stream;
  vantrel::X11H264CaptureSettings settings;
  settings.targetWidth = width;
  settings.targetHeight = height;
  settings.framesPerSecond = 30;
  settings.averageBitrate = 8'000'000;
  settings.keyframeInterval = 60;
  settings.sharpensStillScreen = !off;
  vantrel::X11H264CaptureCallbacks callbacks;
  callbacks.onPicture = [&](vantrel::EncodedPicture picture, vantrel::CaptureTiming timing, auto) {
    std::lock_guard lock(mutex);
    units.push_back({timing.encoded, picture.annexB.size(), picture.isKeyframe});
    stream.insert(stream.end(), picture.annexB.begin(), picture.annexB.end());
  };
  callbacks.onFailure = [](std::exception_ptr) { std::fprintf(stderr, "the capture failed\n"); };
  auto loop = vantrel::X11H264CaptureLoop::start(settings, callbacks);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  // The change: the whole window at once, `burst` times at 30 a second, each time another part of
  // the content (beyond the reach of motion search).
  std::vector<std::vector<std::uint32_t>> steps;
  for (int step = 0; step < burst; ++step)
    steps.push_back(contentPixels(content, width, height, burst - 1 - step));
  // An image of the window's format, filled by hand (reading the window back is not possible on
  // every server before it is shown).
  XImage* image =
      XCreateImage(d, DefaultVisual(d, screen), static_cast<unsigned>(DefaultDepth(d, screen)), ZPixmap, 0,
                   nullptr, static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
  image->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * height));
  auto changed = Clock::now();
  for (int step = 0; step < burst; ++step) {
    const auto start = Clock::now();
    const auto& pixels = steps[static_cast<std::size_t>(step)];
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        XPutPixel(image, x, y,
                  pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)]);
    XPutImage(d, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(d, False);
    changed = Clock::now();
    if (step + 1 < burst) std::this_thread::sleep_until(start + std::chrono::microseconds(33'333));
  }
  XDestroyImage(image);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  loop->stop();

  // The screen's own picture (the last content drawn over the whole screen), and a keyframe of it
  // at the default settings.
  const auto& shown = steps.back();
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  std::vector<std::uint8_t> bgra(luma.size() * 4);
  for (std::size_t at = 0; at < luma.size(); ++at) {
    const auto rgb = shown[at];
    luma[at] = lumaOf(rgb);
    bgra[at * 4] = rgb & 0xFF;
    bgra[at * 4 + 1] = (rgb >> 8) & 0xFF;
    bgra[at * 4 + 2] = (rgb >> 16) & 0xFF;
    bgra[at * 4 + 3] = 0xFF;
  }
  vantrel::ScreenPixelConverter converter(width, height);
  vantrel::X264Encoder keyframeEncoder({width, height, 30, 8'000'000, 60});
  const auto keyframe =
      keyframeEncoder.encode(converter.convert({bgra.data(), width * 4, width, height}), true);

  // Decode every unit.
  const auto folder = fs::temp_directory_path() / fmt::format("still-sharpening-{}", ::getpid());
  fs::create_directories(folder);
  std::ofstream(folder / "stream.h264", std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  const auto command =
      fmt::format("ffmpeg -nostdin -v error -f h264 -i '{}' -f rawvideo -pix_fmt yuv420p '{}'",
                  (folder / "stream.h264").string(), (folder / "decoded.yuv").string());
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "ffmpeg failed\n");
    return 1;
  }
  std::ifstream decoded(folder / "decoded.yuv", std::ios::binary);
  const auto frameBytes = luma.size() * 3 / 2;
  std::vector<double> psnrOf;
  std::vector<std::uint8_t> frame(frameBytes);
  while (decoded.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frameBytes)))
    psnrOf.push_back(psnr(frame.data(), luma.data(), luma.size()));
  fs::remove_all(folder);
  if (psnrOf.size() != units.size()) {
    std::fprintf(stderr, "decoded %zu pictures of %zu units\n", psnrOf.size(), units.size());
    return 1;
  }

  nlohmann::json result = {{"content", content},
                           {"burst", burst},
                           {"refinement", !off},
                           {"size", fmt::format("{}x{}", width, height)},
                           {"keyframeBytesDefault", keyframe.annexB.size()}};
  for (const double at : {0.5, 1.0, 2.0, 4.0, 8.0}) {
    const auto until =
        changed + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at));
    double last = -1;
    for (std::size_t i = 0; i < units.size(); ++i)
      if (units[i].at <= until) last = psnrOf[i];
    result["dB"][fmt::format("{:+.1f}", at)] = std::round(last * 100) / 100;
  }
  // The change: what came before the first refresh could (0.9 s after the change); the rest:
  // refreshes and refinement. The first time the picture reached 40 dB.
  long long changeBytes = 0, laterBytes = 0;
  int changeUnits = 0, laterUnits = 0, keyframes = 0;
  double reached = -1;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].at < changed) continue;
    const double since = std::chrono::duration<double>(units[i].at - changed).count();
    keyframes += units[i].keyframe ? 1 : 0;
    if (since < 0.9) {
      changeBytes += static_cast<long long>(units[i].bytes);
      ++changeUnits;
    } else {
      laterBytes += static_cast<long long>(units[i].bytes);
      ++laterUnits;
    }
    if (reached < 0 && psnrOf[i] >= 40) reached = since;
  }
  result["changeBytes"] = changeBytes;
  result["changeUnits"] = changeUnits;
  result["afterBytes"] = laterBytes;
  result["afterUnits"] = laterUnits;
  result["keyframesAfterChange"] = keyframes;
  result["secondsTo40dB"] = std::round(reached * 100) / 100;
  std::printf("%s\n", result.dump().c_str());
  XFreeGC(d, gc);
  XDestroyWindow(d, window);
  XCloseDisplay(d);
  return 0;
}

// What a keyframe does to a still screen: the capture loop's schedule (ScreenFramePacer,
// KeyframePolicy) and libx264 at the stream's settings (1920x1080, 30 fps, 8 Mbit/s), fed
// offline with a desktop-like picture at the pacer's own times, so that no display is needed.
//
// The run: a scroll of the whole scene by (3, 2) pixels a picture at 30 pictures a second, long
// enough for keyframes at pictures 0 and 60 and for the next to fall due 8 pictures later, then
// a still minute of refreshes (1, 2, 4, then 8 seconds apart). Per picture of the still minute:
// time since the screen stopped, why it was taken, frame type, bytes, quantiser and the Y PSNR of
// what a viewer decodes (libx264's reconstruction) against the screen.
//
//   bench_StillScreenKeyframes               as the loop counts now
//   bench_StillScreenKeyframes --before      every picture counted, by the loop and by libx264
//   bench_StillScreenKeyframes --request 50  a viewer asks for a keyframe 50 s into the minute
//   bench_StillScreenKeyframes --scroll N    N scroll pictures (113: the keyframe falls due on
//                                            the 8th refresh)

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "Platform/Screen/ScreenCaptureSchedule.hpp"
#include "Platform/Screen/X264Encoder.hpp"
#include "support/SyntheticDesktop.hpp"

namespace {

using namespace std::chrono_literals;
using Time = std::chrono::nanoseconds;
using vantrel::KeyframePolicy;
using vantrel::ScreenFramePacer;

constexpr int width = 1920, height = 1080, framesPerSecond = 30, keyframeInterval = 60;

struct Options {
  bool before = false;
  std::optional<double> requestAt;  // seconds into the still minute
  int scrollPictures = 113;
};

struct Encoder {
  x264_t* handle = nullptr;
  x264_picture_t input{};
  std::int64_t pts = 0;

  Encoder(const vantrel::bench::SyntheticDesktop& picture, bool before) {
    x264_param_t p;
    vantrel::X264Encoder::streamParameters({width, height, framesPerSecond, 8'000'000, keyframeInterval}, p);
    // The stream's encoder before: libx264 placed a keyframe of its own every interval pictures.
    if (before) p.i_keyint_max = keyframeInterval;
    // A PSNR per picture (libx264 computes it only at log level info; it changes nothing in the
    // coding). libx264 prints its summary when closed.
    p.analyse.b_psnr = 1;
    p.i_log_level = X264_LOG_INFO;
    handle = x264_encoder_open(&p);
    if (!handle) throw std::runtime_error("libx264 refused the settings");
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_I420;
    input.img.i_plane = 3;
    input.img.plane[0] = const_cast<std::uint8_t*>(picture.y.data());
    input.img.plane[1] = const_cast<std::uint8_t*>(picture.u.data());
    input.img.plane[2] = const_cast<std::uint8_t*>(picture.v.data());
    input.img.i_stride[0] = width;
    input.img.i_stride[1] = input.img.i_stride[2] = width / 2;
  }
  ~Encoder() {
    if (handle) x264_encoder_close(handle);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  struct Result {
    bool keyframe;
    int bytes;
    int qp;
    double psnrY;
  };
  // As X264Encoder::encode does for a whole picture (no macroblock map).
  Result encode(bool keyframe, int qp) {
    input.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    input.i_qpplus1 = qp > 0 ? qp + 1 : X264_QP_AUTO;
    input.i_pts = pts++;
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    x264_picture_init(&out);
    const int size = x264_encoder_encode(handle, &nals, &count, &input, &out);
    if (size <= 0) throw std::runtime_error("libx264 failed to encode");
    return {out.b_keyframe != 0 && out.i_type == X264_TYPE_IDR, size, out.i_qpplus1 - 1, out.prop.f_psnr[0]};
  }
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--before") {
      options.before = true;
    } else if (arg == "--request" && i + 1 < argc) {
      options.requestAt = std::atof(argv[++i]);
    } else if (arg == "--scroll" && i + 1 < argc) {
      options.scrollPictures = std::max(1, std::atoi(argv[++i]));
    } else {
      throw std::runtime_error(
          "usage: bench_StillScreenKeyframes [--before] [--request SECONDS] [--scroll N]");
    }
  }
  return options;
}

int run(const Options& options) {
  vantrel::bench::SyntheticDesktop picture(width, height);
  Encoder encoder(picture, options.before);
  ScreenFramePacer pacer(framesPerSecond, 1s);
  KeyframePolicy policy(keyframeInterval);
  const auto frame = pacer.frameInterval();

  // One picture at `now`, as the capture loop takes it.
  std::vector<int> scrollKeyframes;
  long long scrollBytes = 0;
  const auto take = [&](Time now) {
    const bool carriesChange = pacer.changePending();
    // Before, refreshes counted toward the interval like changes.
    const bool counted = options.before || carriesChange;
    auto plan = policy.plan(counted);
    if (options.before) plan.keyframeQp = 0;
    const auto result = encoder.encode(plan.keyframe, plan.keyframeQp);
    policy.didEncode(counted, result.keyframe, plan.readsWhole, result.qp);
    pacer.didCapture(now);
    return std::pair{plan, result};
  };

  // The scroll: a change before every picture.
  Time now{0};
  for (int i = 0; i < options.scrollPictures; ++i) {
    picture.paint(i * 3, i * 2);
    if (i > 0) pacer.noteChange();
    const auto [plan, result] = take(now);
    if (result.keyframe) scrollKeyframes.push_back(i);
    scrollBytes += result.bytes;
    now += frame;
  }
  const Time stopped = now - frame;
  fmt::print("{}: scroll of {} pictures, keyframes at pictures {}, {} bytes\n",
             options.before ? "before" : "after", options.scrollPictures, fmt::join(scrollKeyframes, ", "),
             scrollBytes);

  // The still minute: refreshes at the pacer's times, and a keyframe asked for when told.
  fmt::print("{:>8}  {:<16} {:>4} {:>8} {:>3} {:>7}\n", "t (s)", "picture", "type", "bytes", "QP", "Y (dB)");
  std::optional<Time> request;
  if (options.requestAt)
    request = stopped + std::chrono::duration_cast<Time>(std::chrono::duration<double>(*options.requestAt));
  long long stillBytes = 0;
  double lastY = 0, lowestY = 1000;
  int keyframes = 0;
  const Time end = stopped + 60s;
  while (true) {
    Time next = pacer.nextDueTime();
    std::string why = "refresh";
    if (request && *request < next) {
      policy.request();
      pacer.requestPicture();
      next = std::max(*request, pacer.nextDueTime());
      request.reset();
      why = "asked";
    }
    if (next > end) break;
    const auto [plan, result] = take(next);
    if (plan.readsWhole && !plan.keyframe) why += "+re-read";
    stillBytes += result.bytes;
    keyframes += result.keyframe;
    lastY = result.psnrY;
    lowestY = std::min(lowestY, result.psnrY);
    fmt::print("{:>8.2f}  {:<16} {:>4} {:>8} {:>3} {:>7.2f}\n",
               std::chrono::duration<double>(next - stopped).count(), why, result.keyframe ? "I" : "P",
               result.bytes, result.qp, result.psnrY);
  }
  fmt::print("still minute: {} bytes, {} keyframe(s), lowest Y {:.2f} dB, last Y {:.2f} dB\n", stillBytes,
             keyframes, lowestY, lastY);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const std::exception& error) {
    fmt::print(stderr, "{}\n", error.what());
    return 2;
  }
}

// What libx264 costs on a picture that did not change, told so by the map of unchanged
// macroblocks, and where that cost goes. The stream encoder's parameters (ultrafast, zerolatency,
// ABR at the session's 8 Mbit/s with a one-second VBV, 2 sliced threads, keyframes every 60
// pictures) against variants that keep them but bound what the rate control may spend (a minimum QP), and
// against forcing the quantiser of the unchanged pictures (every macroblock then comes out
// skipped: the encoder's fixed cost per picture). Counters: CPU ms and bytes per picture.
//
//   taskset -c 6,7 bench_EncoderStillPicture

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "Platform/X264Encoder.hpp"
#include "support/ScreenBenchSupport.hpp"

namespace {

using vantrel::bench::processCpuSeconds;

constexpr int width = 1920, height = 1080;

// Panels and lines of "text": a still desktop.
struct Picture {
  std::vector<std::uint8_t> y = std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height);
  std::vector<std::uint8_t> u = std::vector<std::uint8_t>(static_cast<std::size_t>(width / 2) * (height / 2));
  std::vector<std::uint8_t> v = std::vector<std::uint8_t>(u.size());
  Picture() {
    for (int r = 0; r < height; ++r) {
      for (int c = 0; c < width; ++c) {
        const bool glyph = r % 18 < 9 && (c * 7 + r * 3) % 11 < 4;
        y[static_cast<std::size_t>(r) * width + c] =
            static_cast<std::uint8_t>(((c / 40 + r / 30) % 5) * 40 + (glyph ? 60 : 0));
      }
    }
    for (std::size_t i = 0; i < u.size(); ++i) {
      u[i] = static_cast<std::uint8_t>(100 + (i / 97) % 50);
      v[i] = static_cast<std::uint8_t>(120 + (i / 61) % 40);
    }
  }
};

// range(0): minimum QP (0: x264's default); range(1): the QP forced on unchanged pictures plus one
// (libx264's i_qpplus1; 0: none).
void BM_StillPicture(benchmark::State& state) {
  const int minimumQp = static_cast<int>(state.range(0));
  const int forcedQp = static_cast<int>(state.range(1));
  x264_param_t p;
  vantrel::X264Encoder::streamParameters({width, height, 30, 8'000'000, 60}, p);
  if (minimumQp > 0) p.rc.i_qp_min = minimumQp;
  x264_t* encoder = x264_encoder_open(&p);
  if (!encoder) {
    state.SkipWithError("libx264 refused the settings");
    return;
  }
  Picture picture;
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = picture.y.data();
  in.img.plane[1] = picture.u.data();
  in.img.plane[2] = picture.v.data();
  in.img.i_stride[0] = width;
  in.img.i_stride[1] = in.img.i_stride[2] = width / 2;
  const auto macroblocks = static_cast<std::size_t>((width + 15) / 16) * ((height + 15) / 16);
  double cpu = 0;
  long long bytes = 0;
  int counted = 0;
  std::int64_t pts = 0;
  for (auto _ : state) {
    const bool keyframe = pts % 60 == 0;
    in.i_pts = pts++;
    in.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    in.i_qpplus1 = keyframe ? 0 : forcedQp;
    in.prop.mb_info = nullptr;
    in.prop.mb_info_free = nullptr;
    if (!keyframe) {
      auto* flags = static_cast<std::uint8_t*>(std::malloc(macroblocks));
      if (!flags) {
        state.SkipWithError("no memory for the macroblock map");
        break;
      }
      std::memset(flags, X264_MBINFO_CONSTANT, macroblocks);
      in.prop.mb_info = flags;
      in.prop.mb_info_free = std::free;
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const double c0 = processCpuSeconds();
    const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
    if (!keyframe) {
      cpu += processCpuSeconds() - c0;
      bytes += size;
      ++counted;
    }
  }
  x264_encoder_close(encoder);
  if (counted > 0) {
    state.counters["cpu_ms_per_unchanged_picture"] = cpu * 1000 / counted;
    state.counters["bytes_per_unchanged_picture"] = static_cast<double>(bytes) / counted;
  }
}
BENCHMARK(BM_StillPicture)
    ->ArgNames({"min_qp", "forced_qp"})
    ->Args({0, 0})  // the stream's settings
    ->Args({15, 0})
    ->Args({20, 0})
    ->Args({25, 0})
    ->Args({0, 31})  // QP 30 forced: all skipped
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

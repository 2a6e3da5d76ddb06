// What libx264 costs per picture at the stream's settings (ultrafast, zerolatency, ABR at the
// session's 8 Mbit/s with a one-second VBV, 2 sliced threads, keyframes every 60 pictures) when
// little or nothing changed, against a picture in full motion, in one run:
//   moving   the whole desktop-like scene scrolled from picture to picture (no macroblock map);
//   still    the same picture again and again, told by the map that nothing changed: with the
//            stream's settings, with a minimum QP bounding what the rate control may spend, and
//            with the quantiser forced (every macroblock then comes out skipped: the encoder's
//            fixed cost per picture, whatever the capture and conversion do);
//   partial  a 480x270 piece (6 % of the screen) pasted at a new place each picture, the map
//            naming its old and new place as changed: with the stream's settings, and with the
//            quantiser forced near the one the rate control picks there (every unchanged
//            macroblock then skipped).
// Counters: CPU ms (every thread of the process, around the encode call only), bytes and the
// average QP per picture, keyframes left out. The run ends with the ratios to `moving`.
//
//   taskset -c 6,7 bench_EncoderStillPicture

#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "Platform/Screen/X264Encoder.hpp"
#include "support/ScreenBenchSupport.hpp"
#include "support/SyntheticDesktop.hpp"

namespace {

using vantrel::bench::processCpuSeconds;

constexpr int width = 1920, height = 1080;
constexpr int keyframeInterval = 60;

using Picture = vantrel::bench::SyntheticDesktop;
constexpr int pieceWidth = Picture::pieceWidth, pieceHeight = Picture::pieceHeight;

enum Content { moving, still, partial };

// CPU ms per picture of each case, for the ratios printed at the end.
std::map<std::string, double>& results() {
  static std::map<std::string, double> byName;
  return byName;
}

// range(0): the content; range(1): minimum QP (0: x264's default); range(2): the QP forced on
// every picture but keyframes, plus one (libx264's i_qpplus1; 0: none).
void BM_Encoder(benchmark::State& state) {
  const auto content = static_cast<Content>(state.range(0));
  const int minimumQp = static_cast<int>(state.range(1));
  const int forcedQp = static_cast<int>(state.range(2));
  x264_param_t p;
  vantrel::X264Encoder::streamParameters({width, height, 30, 8'000'000, keyframeInterval}, p);
  if (minimumQp > 0) p.rc.i_qp_min = minimumQp;
  x264_t* encoder = x264_encoder_open(&p);
  if (!encoder) {
    state.SkipWithError("libx264 refused the settings");
    return;
  }
  Picture picture(width, height);
  picture.paint(0, 0);
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = picture.y.data();
  in.img.plane[1] = picture.u.data();
  in.img.plane[2] = picture.v.data();
  in.img.i_stride[0] = width;
  in.img.i_stride[1] = in.img.i_stride[2] = width / 2;
  constexpr int columns = (width + 15) / 16, rows = (height + 15) / 16;
  const auto markChanged = [](std::uint8_t* flags, std::pair<int, int> at) {
    for (int row = at.second / 16; row <= (at.second + pieceHeight - 1) / 16; ++row) {
      for (int column = at.first / 16; column <= (at.first + pieceWidth - 1) / 16; ++column) {
        flags[row * columns + column] = 0;
      }
    }
  };
  double cpu = 0, qpSum = 0;
  long long bytes = 0;
  int counted = 0;
  std::int64_t pts = 0;
  for (auto _ : state) {
    const int step = static_cast<int>(pts);
    const bool keyframe = pts % keyframeInterval == 0;
    if (content == moving) {
      picture.paint((step * 3) % width, (step * 2) % height);
    } else if (content == partial && step > 0) {
      picture.paint(0, 0);
      picture.pastePiece(step);
    }
    in.i_pts = pts++;
    in.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    in.i_qpplus1 = keyframe ? 0 : forcedQp;
    in.prop.mb_info = nullptr;
    in.prop.mb_info_free = nullptr;
    if (!keyframe && content != moving) {
      auto* flags = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(columns) * rows));
      if (!flags) {
        state.SkipWithError("no memory for the macroblock map");
        break;
      }
      std::memset(flags, X264_MBINFO_CONSTANT, static_cast<std::size_t>(columns) * rows);
      if (content == partial) {
        markChanged(flags, picture.piecePlace(step));
        if (step > 1) markChanged(flags, picture.piecePlace(step - 1));
      }
      in.prop.mb_info = flags;
      in.prop.mb_info_free = std::free;
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const double c0 = processCpuSeconds();
    const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
    const double spent = processCpuSeconds() - c0;
    if (size < 0) {
      state.SkipWithError("libx264 failed to encode");
      break;
    }
    if (!keyframe) {
      cpu += spent;
      bytes += size;
      qpSum += out.i_qpplus1 - 1;
      ++counted;
    }
  }
  x264_encoder_close(encoder);
  if (counted == 0) return;
  const double ms = cpu * 1000 / counted;
  state.counters["cpu_ms_per_picture"] = ms;
  state.counters["bytes_per_picture"] = static_cast<double>(bytes) / counted;
  state.counters["qp"] = qpSum / counted;
  static const char* const names[] = {"moving", "still", "partial"};
  results()[fmt::format("{} min_qp {} forced_qp {}", names[content], minimumQp,
                        forcedQp > 0 ? forcedQp - 1 : 0)] = ms;
}
BENCHMARK(BM_Encoder)
    ->ArgNames({"content", "min_qp", "forced_qp"})
    ->Args({moving, 0, 0})  // the stream's settings on a moving picture: the reference
    ->Args({still, 0, 0})   // the stream's settings
    ->Args({still, 15, 0})
    ->Args({still, 20, 0})
    ->Args({still, 25, 0})
    ->Args({still, 0, 31})    // QP 30 forced: every macroblock skipped
    ->Args({partial, 0, 0})   // the stream's settings
    ->Args({partial, 0, 31})  // QP 30 forced (the rate control picks 29-30 there): unchanged skipped
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const auto& byName = results();
  const auto reference = byName.find("moving min_qp 0 forced_qp 0");
  if (reference == byName.end() || reference->second <= 0) return 0;
  fmt::print("CPU per picture against a picture in full motion ({:.3f} ms):\n", reference->second);
  for (const auto& [name, ms] : byName) {
    if (name != reference->first)
      fmt::print("  {:<32} {:.3f} ms  {:.3f}\n", name, ms, ms / reference->second);
  }
  return 0;
}

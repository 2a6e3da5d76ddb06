#include "Platform/Screen/X264Encoder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Platform/Screen/H264AnnexB.hpp"

extern "C" {
#include <x264.h>
}

namespace vantrel {

struct X264Encoder::State {
  x264_t* encoder = nullptr;
  x264_picture_t input{};
  std::int64_t nextPts = 0;
  int maxQp = 51;  // libx264 takes quantisers 0...maxQp
  ~State() {
    if (encoder) x264_encoder_close(encoder);
  }
};

std::optional<std::string> X264Encoder::validate(const X264EncoderSettings& s) {
  constexpr int maxSide = 8192;
  if (s.width < 2 || s.height < 2 || s.width > maxSide || s.height > maxSide) {
    return fmt::format("picture size {}x{} is outside 2...{}", s.width, s.height, maxSide);
  }
  if (s.width % 2 != 0 || s.height % 2 != 0) {
    return fmt::format("picture size {}x{} is not even", s.width, s.height);
  }
  if (s.framesPerSecond < 1 || s.framesPerSecond > 240) {
    return fmt::format("frame rate {} is outside 1...240", s.framesPerSecond);
  }
  if (s.averageBitrate < 1000) return fmt::format("bitrate {} is below 1000 bit/s", s.averageBitrate);
  if (s.keyframeInterval < 1) return fmt::format("keyframe interval {} is below 1", s.keyframeInterval);
  return std::nullopt;
}

void X264Encoder::streamParameters(const X264EncoderSettings& settings, x264_param_t& p) {
  if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0) {
    throw X264EncoderError::openFailed("libx264 does not know the ultrafast/zerolatency preset");
  }
  p.i_csp = X264_CSP_I420;
  p.i_width = settings.width;
  p.i_height = settings.height;
  p.i_fps_num = static_cast<std::uint32_t>(settings.framesPerSecond);
  p.i_fps_den = 1;
  p.i_timebase_num = 1;
  p.i_timebase_den = static_cast<std::uint32_t>(settings.framesPerSecond);
  p.b_vfr_input = 0;
  // Two slices encoded side by side by sliced threads: no frame of delay (frame threads would add
  // one), and a picture is out sooner than with one thread (measured on the screen pipeline bench:
  // lower 95th-percentile latency at no more CPU per picture).
  p.i_threads = 2;
  p.b_sliced_threads = 1;
  p.i_slice_count = 2;
  p.i_bframe = 0;
  p.rc.i_lookahead = 0;
  p.i_sync_lookahead = 0;
  p.rc.b_mb_tree = 0;
  // Keyframes are IDR pictures placed by the caller alone: libx264 would count a still screen's
  // refreshes toward an interval of its own and put a keyframe on one of them. No scene-cut
  // keyframes either.
  p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
  p.i_keyint_min = 1;
  p.i_scenecut_threshold = 0;
  p.b_intra_refresh = 0;
  p.b_open_gop = 0;
  // Rate control: the average bitrate, with a one-second VBV so that a keyframe fits.
  const int kbps = std::max(1, settings.averageBitrate / 1000);
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = kbps;
  p.rc.i_vbv_max_bitrate = kbps;
  p.rc.i_vbv_buffer_size = kbps;
  // Parameter sets before every keyframe; NAL units with size prefixes, turned into Annex-B here.
  p.b_repeat_headers = 1;
  p.b_annexb = 0;
  p.b_aud = 0;
  p.i_log_level = X264_LOG_ERROR;
  // Pictures may come with a map of the macroblocks that did not change since the previous one;
  // those are coded as skipped (or as a zero motion vector) without being analysed.
  p.analyse.b_mb_info = 1;
  p.analyse.b_mb_info_update = 0;
}

X264Encoder::X264Encoder(const X264EncoderSettings& settings)
    : settings_(settings), state_(std::make_unique<State>()) {
  if (auto problem = validate(settings)) throw X264EncoderError::invalidSettings(*problem);

  x264_param_t p;
  streamParameters(settings, p);
  state_->encoder = x264_encoder_open(&p);
  if (!state_->encoder) throw X264EncoderError::openFailed("libx264 refused the encoder settings");
  // The coarsest quantiser is known once libx264 has settled the parameters.
  x264_encoder_parameters(state_->encoder, &p);
  state_->maxQp = p.rc.i_qp_max;

  x264_picture_init(&state_->input);
  state_->input.img.i_csp = X264_CSP_I420;
  state_->input.img.i_plane = 3;
}

X264Encoder::~X264Encoder() = default;

std::vector<std::uint8_t> X264Encoder::unchangedMacroblocks(const ScreenDamage& changed, int width,
                                                            int height) {
  const int columns = (width + 15) / 16;
  const int rows = (height + 15) / 16;
  if (columns <= 0 || rows <= 0) return {};
  std::vector<std::uint8_t> map(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows),
                                changed.isWhole() ? 0 : 1);
  for (const auto& rect : changed.rects()) {
    const int x0 = std::max(0, rect.x), y0 = std::max(0, rect.y);
    const int x1 = std::min(width, rect.x + rect.width), y1 = std::min(height, rect.y + rect.height);
    if (x1 <= x0 || y1 <= y0) continue;
    const int first = x0 / 16;
    const int count = (x1 - 1) / 16 - first + 1;
    for (int row = y0 / 16; row <= (y1 - 1) / 16; ++row) {
      auto* line = map.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
      std::memset(line + first, 0, static_cast<std::size_t>(count));
    }
  }
  return map;
}

EncodedPicture X264Encoder::encode(const I420Picture& picture, bool forceKeyframe,
                                   const ScreenDamage* changed, int qp) {
  if (picture.width != settings_.width || picture.height != settings_.height) {
    throw X264EncoderError::encodeFailed(fmt::format("picture is {}x{}, the encoder expects {}x{}",
                                                     picture.width, picture.height, settings_.width,
                                                     settings_.height));
  }
  auto& in = state_->input;
  in.img.plane[0] = const_cast<std::uint8_t*>(picture.y.data());
  in.img.plane[1] = const_cast<std::uint8_t*>(picture.u.data());
  in.img.plane[2] = const_cast<std::uint8_t*>(picture.v.data());
  in.img.i_stride[0] = picture.strideY();
  in.img.i_stride[1] = picture.strideUV();
  in.img.i_stride[2] = picture.strideUV();
  in.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
  in.i_qpplus1 = qp > 0 ? std::min(qp, state_->maxQp) + 1 : X264_QP_AUTO;
  // The map compares with the picture encoded just before; a keyframe, the first picture and a
  // change of unknown extent are analysed everywhere.
  in.prop.mb_info = nullptr;
  in.prop.mb_info_free = nullptr;
  if (changed && !forceKeyframe && state_->nextPts > 0 && !changed->isWhole() &&
      changed->width() == picture.width && changed->height() == picture.height) {
    const auto map = unchangedMacroblocks(*changed, picture.width, picture.height);
    // libx264 keeps the map with its copy of the picture and frees it when done with it.
    auto* flags = static_cast<std::uint8_t*>(std::malloc(map.size()));
    if (!flags) throw X264EncoderError::encodeFailed("no memory for the macroblock map");
    for (std::size_t i = 0; i < map.size(); ++i) flags[i] = map[i] ? X264_MBINFO_CONSTANT : 0;
    in.prop.mb_info = flags;
    in.prop.mb_info_free = std::free;
  }
  in.i_pts = state_->nextPts++;

  x264_nal_t* nals = nullptr;
  int nalCount = 0;
  x264_picture_t out;
  x264_picture_init(&out);
  const int size = x264_encoder_encode(state_->encoder, &nals, &nalCount, &in, &out);
  if (size < 0) throw X264EncoderError::encodeFailed("libx264 failed to encode the picture");
  if (size == 0 || nalCount <= 0) {
    // Not expected without look-ahead or B-frames; a picture that produced nothing is an error
    // for a stream whose every picture must come out in order.
    throw X264EncoderError::encodeFailed("libx264 held the picture back");
  }

  std::vector<ByteView> units;
  units.reserve(static_cast<std::size_t>(nalCount));
  for (int i = 0; i < nalCount; ++i) {
    const auto& nal = nals[i];
    // Each unit begins with a four-byte size prefix (b_annexb = 0).
    if (nal.i_payload <= 4) continue;
    units.emplace_back(nal.p_payload + 4, static_cast<std::size_t>(nal.i_payload - 4));
  }
  EncodedPicture result;
  result.annexB = H264AnnexB::makeAccessUnit(units);
  result.isKeyframe = out.b_keyframe != 0 && out.i_type == X264_TYPE_IDR;
  result.qp = out.i_qpplus1 - 1;
  return result;
}

}  // namespace vantrel

#include "H264PictureDecoder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace vantrel::standin {

H264PictureDecoder::H264PictureDecoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw std::runtime_error("FFmpeg has no H.264 decoder");
  context_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  last_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (context_ == nullptr || frame_ == nullptr || last_ == nullptr || packet_ == nullptr ||
      avcodec_open2(context_, codec, nullptr) < 0) {
    throw std::runtime_error("cannot open FFmpeg's H.264 decoder");
  }
}

H264PictureDecoder::~H264PictureDecoder() {
  av_packet_free(&packet_);
  av_frame_free(&last_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

int H264PictureDecoder::decode(std::span<const std::uint8_t> accessUnit) {
  // The packet must own padded memory: the decoder reads a little past the end.
  if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) {
    ++errors_;
    return 0;
  }
  std::copy(accessUnit.begin(), accessUnit.end(), packet_->data);
  int produced = 0;
  if (avcodec_send_packet(context_, packet_) < 0) {
    ++errors_;
  } else {
    while (avcodec_receive_frame(context_, frame_) == 0) {
      ++produced;
      ++pictures_;
      keepLast();
    }
  }
  av_packet_unref(packet_);
  return produced;
}

void H264PictureDecoder::keepLast() {
  av_frame_unref(last_);
  av_frame_ref(last_, frame_);
  width_ = last_->width;
  height_ = last_->height;
  // Luma statistics over a coarse grid (every 8th pixel of every 8th row).
  long long sum = 0;
  long long count = 0;
  int low = 255;
  int high = 0;
  for (int y = 0; y < height_; y += 8) {
    const std::uint8_t* row = last_->data[0] + static_cast<std::ptrdiff_t>(y) * last_->linesize[0];
    for (int x = 0; x < width_; x += 8) {
      const int v = row[x];
      sum += v;
      ++count;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  meanLuma_ = count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
  lumaSpread_ = count > 0 ? high - low : 0;
}

int H264PictureDecoder::lumaAt(int x, int y) const noexcept {
  if (pictures_ == 0 || x < 0 || y < 0 || x >= width_ || y >= height_) return -1;
  return last_->data[0][static_cast<std::ptrdiff_t>(y) * last_->linesize[0] + x];
}

std::optional<double> H264PictureDecoder::lumaPSNR(std::span<const std::uint8_t> reference, int width,
                                                   int height) const {
  if (pictures_ == 0 || width != width_ || height != height_ ||
      reference.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    return std::nullopt;
  }
  double squares = 0;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = last_->data[0] + static_cast<std::ptrdiff_t>(y) * last_->linesize[0];
    const std::uint8_t* want = reference.data() + static_cast<std::ptrdiff_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const double d = static_cast<double>(row[x]) - static_cast<double>(want[x]);
      squares += d * d;
    }
  }
  const double mse = squares / (static_cast<double>(width) * static_cast<double>(height));
  if (mse <= 0) return 100.0;
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

bool H264PictureDecoder::writePNG(const std::filesystem::path& path, std::string& error) const {
  if (pictures_ == 0) {
    error = "no picture was decoded";
    return false;
  }
  const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (png == nullptr) {
    error = "FFmpeg has no PNG encoder";
    return false;
  }
  AVCodecContext* encoder = avcodec_alloc_context3(png);
  AVFrame* rgb = av_frame_alloc();
  AVPacket* out = av_packet_alloc();
  bool ok = false;
  SwsContext* scaler = nullptr;
  do {
    if (encoder == nullptr || rgb == nullptr || out == nullptr) break;
    encoder->width = width_;
    encoder->height = height_;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    if (avcodec_open2(encoder, png, nullptr) < 0) break;
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = width_;
    rgb->height = height_;
    if (av_frame_get_buffer(rgb, 0) < 0) break;
    scaler = sws_getContext(width_, height_, static_cast<AVPixelFormat>(last_->format), width_, height_,
                            AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler == nullptr) break;
    sws_scale(scaler, last_->data, last_->linesize, 0, height_, rgb->data, rgb->linesize);
    if (avcodec_send_frame(encoder, rgb) < 0 || avcodec_receive_packet(encoder, out) < 0) break;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) break;
    ok = std::fwrite(out->data, 1, static_cast<std::size_t>(out->size), file) ==
         static_cast<std::size_t>(out->size);
    ok = (std::fclose(file) == 0) && ok;
  } while (false);
  if (!ok) error = "cannot write the picture to " + path.string();
  sws_freeContext(scaler);
  av_packet_free(&out);
  av_frame_free(&rgb);
  avcodec_free_context(&encoder);
  return ok;
}

}  // namespace vantrel::standin

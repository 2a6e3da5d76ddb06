#pragma once

// Decodes the agent's Annex-B access units with FFmpeg's H.264 decoder and keeps the last picture,
// which it can write as a PNG. The manager stand-in uses it to check that what arrives is a
// playable stream of the requested size.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace vantrel::standin {

class H264PictureDecoder {
 public:
  H264PictureDecoder();
  ~H264PictureDecoder();
  H264PictureDecoder(const H264PictureDecoder&) = delete;
  H264PictureDecoder& operator=(const H264PictureDecoder&) = delete;

  // Feeds one access unit; returns how many pictures came out of it. Decoder errors are counted,
  // not thrown: a stream that does not decode shows in the report.
  int decode(std::span<const std::uint8_t> accessUnit);

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  long long pictures() const noexcept { return pictures_; }
  long long errors() const noexcept { return errors_; }
  // The mean luma of the last picture and its spread (max − min over a coarse grid): a black or
  // uniform picture has a spread near zero.
  double lastMeanLuma() const noexcept { return meanLuma_; }
  int lastLumaSpread() const noexcept { return lumaSpread_; }

  // The luma of the last picture at (x, y), or -1 outside it (or before the first picture).
  int lumaAt(int x, int y) const noexcept;
  // The luma PSNR of the last picture against `reference` (a luma plane of the same size, rows
  // packed), in dB; nothing when there is no picture or the sizes differ. 100 for identical planes.
  std::optional<double> lumaPSNR(std::span<const std::uint8_t> reference, int width, int height) const;

  // Writes the last picture as an RGB PNG; false when there is none or encoding failed.
  bool writePNG(const std::filesystem::path& path, std::string& error) const;

 private:
  void keepLast();

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* last_ = nullptr;
  AVPacket* packet_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  long long pictures_ = 0;
  long long errors_ = 0;
  double meanLuma_ = 0;
  int lumaSpread_ = 0;
};

}  // namespace vantrel::standin

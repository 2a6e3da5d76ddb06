#pragma once

// H.264 encoding with libx264, tuned for a live screen: no B-frames, no look-ahead, two slices
// per picture encoded in parallel, rate control with a VBV sized from the average bitrate, Annex-B output
// with the parameter sets in front of every keyframe, and an IDR whenever the caller asks for one
// (and only then: libx264 places no keyframe of its own).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Screen/ScreenPixelConverter.hpp"
#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

struct x264_param_t;  // libx264's encoder parameters (x264.h)

namespace vantrel {

class X264EncoderError : public Error {
 public:
  enum class Case { invalidSettings, openFailed, encodeFailed };

  static X264EncoderError invalidSettings(std::string detail) {
    return {Case::invalidSettings, std::move(detail)};
  }
  static X264EncoderError openFailed(std::string detail) { return {Case::openFailed, std::move(detail)}; }
  static X264EncoderError encodeFailed(std::string detail) { return {Case::encodeFailed, std::move(detail)}; }

  Case kind() const noexcept { return case_; }
  const std::string& detail() const noexcept { return detail_; }
  std::optional<std::string> errorDescription() const override { return detail_; }
  std::string errorDomain() const override { return "VantrelPlatform.X264EncoderError"; }
  int errorCode() const override { return static_cast<int>(case_); }

 private:
  X264EncoderError(Case c, std::string detail) : case_(c), detail_(std::move(detail)) {}
  Case case_;
  std::string detail_;
};

struct X264EncoderSettings {
  int width = 0;   // even, 2...8192
  int height = 0;  // even, 2...8192
  int framesPerSecond = 30;
  int averageBitrate = 8'000'000;  // bits per second
  // Most pictures from one keyframe to the next, as the caller places them (checked here with the
  // rest of the stream's settings; the encoder makes a keyframe only when asked).
  int keyframeInterval = 60;
};

struct EncodedPicture {
  Bytes annexB;  // one access unit; SPS and PPS first when it is a keyframe
  bool isKeyframe = false;
  int qp = 0;  // the quantiser the picture came out at (its macroblocks' average, rounded)
};

class X264Encoder {
 public:
  // Throws X264EncoderError when the settings are out of range or libx264 refuses them.
  explicit X264Encoder(const X264EncoderSettings& settings);
  ~X264Encoder();
  X264Encoder(const X264Encoder&) = delete;
  X264Encoder& operator=(const X264Encoder&) = delete;

  const X264EncoderSettings& settings() const noexcept { return settings_; }

  // Encodes one picture of the encoder's size; `forceKeyframe` makes it an IDR picture. With
  // these settings every picture comes out at once. `changed`, when given, holds every part in
  // which the picture may differ from the one encoded before it (picture coordinates): the
  // encoder then skips the analysis of the macroblocks outside them. A positive `qp` codes the
  // picture at that quantiser (as EncodedPicture::qp reports them) instead of the rate control's;
  // the VBV may still coarsen rows that would overrun it. Throws X264EncoderError.
  EncodedPicture encode(const I420Picture& picture, bool forceKeyframe, const ScreenDamage* changed = nullptr,
                        int qp = 0);

  // One byte per 16x16 macroblock of a `width` x `height` picture, row by row: 1 where no part of
  // `changed` touches the macroblock, 0 where one does. All 0 when `changed` is whole.
  static std::vector<std::uint8_t> unchangedMacroblocks(const ScreenDamage& changed, int width, int height);

  // Checks settings without opening an encoder; the reason when they are invalid.
  static std::optional<std::string> validate(const X264EncoderSettings& settings);

  // Fills `parameters` as the encoder opens libx264 for valid `settings` (the benches vary them
  // from there). Throws X264EncoderError when libx264 lacks the preset.
  static void streamParameters(const X264EncoderSettings& settings, x264_param_t& parameters);

 private:
  struct State;
  X264EncoderSettings settings_;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

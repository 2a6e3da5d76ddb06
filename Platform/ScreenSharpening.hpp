#pragma once

// Bringing a still screen up to a quality that reads like the screen itself. The rate control
// codes a change as coarsely as the bitrate asks, and re-encoding an unchanged picture under it
// spends next to nothing, so a screen that stops after a large change would stay coarse. Once it
// has been still for a while, the capture loop codes the picture again at a fine quantiser, as
// ordinary predicted pictures: each macroblock the viewer holds coarsely is refined, one that is
// already fine costs nothing (it is left alone).
//
// This is the bookkeeping (no encoder, no clock): per 16x16 macroblock the quantiser it was last
// coded at, whether it is fine enough, and how far refining it got.

#include <cstdint>
#include <functional>
#include <vector>

#include "Platform/ScreenDamage.hpp"
#include "Platform/ScreenPixelConverter.hpp"

namespace vantrel {

class StillSharpening {
 public:
  // Quantiser of the refining pictures. Refinement in predicted pictures levels off at about what
  // the quantiser gives less a dB or two (their residual loses its smallest coefficients): at 18,
  // 41-44 dB luma on fine noise and small text, against 40-42 at 20 (libx264 ultrafast).
  static constexpr int defaultTargetQp = 18;
  // A macroblock whose mean squared luma error is at most this is fine whatever it was coded at
  // (about 46 dB).
  static constexpr std::uint32_t fineMeanSquaredError = 2;
  // A macroblock that a refinement no longer improves is done when its error is at most this
  // (about 37 dB: what the target quantiser leaves of fine noise). One that stays coarser was
  // not refined at all: the rate control's buffer held the picture's lower rows back, and the
  // next refinement takes it up again.
  static constexpr std::uint32_t settledMeanSquaredError = 12;

  // A picture of `width` x `height`; `maxPicturesPerStill` bounds the refining pictures between
  // two changes (the refinement stops there even if some area is still coarse).
  StillSharpening(int width, int height, int maxPicturesPerStill, int targetQp = defaultTargetQp);

  int targetQp() const noexcept { return targetQp_; }
  int columns() const noexcept { return columns_; }
  int rows() const noexcept { return rows_; }

  // A picture coded by the rate control (a change, a keyframe): the macroblocks `changed` touches
  // (every one when `changed` is null or whole) now show what was coded at `qp`; any refinement
  // under way is over, and a new one may begin once the screen is still again.
  void noteCoded(const ScreenDamage* changed, int qp);

  // True while some macroblock is coarser than the target and still improves when refined, and
  // the refining pictures since the last change are below the bound.
  bool needsSharpening() const noexcept;
  // Refining pictures since the last change.
  int picturesSinceChange() const noexcept { return pictures_; }
  // Macroblocks still to refine.
  int coarseCount() const noexcept { return coarse_; }
  bool isCoarse(int column, int row) const noexcept { return !fine_[index(column, row)]; }

  // One byte per macroblock, row by row: 1 where the next refining picture leaves it alone (it is
  // fine already), 0 where it refines it.
  std::vector<std::uint8_t> leaveAloneMap() const;

  // A refining picture was coded; `meanSquaredError(column, row)` gives the luma error of that
  // macroblock as the viewer now holds it. A macroblock is fine once its error is small, or once
  // two refinements in a row no longer improved it by a tenth while its error is moderate (it
  // holds what the target quantiser can give).
  void noteRefined(const std::function<std::uint32_t(int column, int row)>& meanSquaredError);

 private:
  std::size_t index(int column, int row) const noexcept {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) +
           static_cast<std::size_t>(column);
  }
  void mark(std::size_t at, int qp) noexcept;

  int columns_;
  int rows_;
  int maxPictures_;
  int targetQp_;
  int pictures_ = 0;
  int coarse_ = 0;
  std::vector<std::uint8_t> fine_;
  // The error measured after the last refinement; unknownError before the first one.
  std::vector<std::uint32_t> lastError_;
  // Refinements in a row that did not improve the macroblock by a tenth.
  std::vector<std::uint8_t> stalls_;
  static constexpr std::uint32_t unknownError = UINT32_MAX;
};

// The mean squared error of the 16x16 luma macroblock (`column`, `row`) of `decoded` (rows
// `decodedStride` bytes apart, the picture's size) against `source`; the parts of a macroblock
// past the picture's edge are left out.
std::uint32_t macroblockLumaError(const I420Picture& source, const std::uint8_t* decoded, int decodedStride,
                                  int column, int row) noexcept;

}  // namespace vantrel

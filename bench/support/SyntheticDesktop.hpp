// A desktop-like picture made in memory (I420), for the benches that feed the encoder without a
// display: flat panels with lines of glyph-like strokes over a plane larger than the screen.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel::bench {

struct SyntheticDesktop {
  SyntheticDesktop(int width, int height);

  int width;
  int height;
  std::vector<std::uint8_t> y;
  std::vector<std::uint8_t> u;
  std::vector<std::uint8_t> v;

  // The scene seen from (dx, dy).
  void paint(int dx, int dy);

  // A piece of `pieceWidth` x `pieceHeight` pasted at a new place for each `step`, showing
  // another part of the scene; where it goes, on even coordinates.
  static constexpr int pieceWidth = 480, pieceHeight = 270;
  std::pair<int, int> piecePlace(int step) const;
  void pastePiece(int step);
};

}  // namespace vantrel::bench

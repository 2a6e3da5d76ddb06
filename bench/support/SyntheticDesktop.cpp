#include "SyntheticDesktop.hpp"

namespace vantrel::bench {

namespace {
std::uint8_t sceneLuma(int r, int c) {
  const bool glyph = r % 18 < 9 && (c * 7 + r * 3) % 11 < 4;
  return static_cast<std::uint8_t>(((c / 40 + r / 30) % 5) * 40 + (glyph ? 60 : 0));
}
}  // namespace

SyntheticDesktop::SyntheticDesktop(int width, int height)
    : width(width),
      height(height),
      y(static_cast<std::size_t>(width) * height),
      u(static_cast<std::size_t>(width / 2) * (height / 2)),
      v(u.size()) {}

void SyntheticDesktop::paint(int dx, int dy) {
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) y[static_cast<std::size_t>(r) * width + c] = sceneLuma(r + dy, c + dx);
  }
  for (int r = 0; r < height / 2; ++r) {
    for (int c = 0; c < width / 2; ++c) {
      const auto i = static_cast<std::size_t>(r) * (width / 2) + c;
      u[i] = static_cast<std::uint8_t>(100 + ((r + dy / 2) * 7 + c + dx / 2) / 97 % 50);
      v[i] = static_cast<std::uint8_t>(120 + ((r + dy / 2) * 3 + c + dx / 2) / 61 % 40);
    }
  }
}

std::pair<int, int> SyntheticDesktop::piecePlace(int step) const {
  return {(step * 37) % (width - pieceWidth) & ~1, (step * 23) % (height - pieceHeight) & ~1};
}

void SyntheticDesktop::pastePiece(int step) {
  const auto [x0, y0] = piecePlace(step);
  for (int r = 0; r < pieceHeight; ++r) {
    for (int c = 0; c < pieceWidth; ++c) {
      y[static_cast<std::size_t>(y0 + r) * width + x0 + c] = sceneLuma(r + step * 5, c + step * 3 + 500);
    }
  }
  for (int r = 0; r < pieceHeight / 2; ++r) {
    for (int c = 0; c < pieceWidth / 2; ++c) {
      const auto i = static_cast<std::size_t>(y0 / 2 + r) * (width / 2) + x0 / 2 + c;
      u[i] = static_cast<std::uint8_t>(90 + (r + c + step) % 60);
      v[i] = static_cast<std::uint8_t>(110 + (r * 2 + c + step) % 50);
    }
  }
}

}  // namespace vantrel::bench

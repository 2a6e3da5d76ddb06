#pragma once

// A screen's luma as a binary PGM: what a slow-link test or bench saw on the screen, handed to the
// manager stand-in, which compares its last decoded picture with it.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "Support/Bytes.hpp"

namespace vantrel::testing {

struct LumaPlane {
  int width = 0;
  int height = 0;
  Bytes luma;  // rows packed, width * height samples
};

// The luma of an 0xRRGGBB pixel as the agent converts it (BT.601, limited range).
constexpr std::uint8_t limitedRangeLuma(std::uint32_t rgb) noexcept {
  const std::uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}

// Writes `plane` as a binary PGM (maximum 255); false when the file cannot be written whole.
bool writeLumaPGM(const std::filesystem::path& path, const LumaPlane& plane);
// Reads a binary PGM of at most 16384 x 16384 samples with maximum 255; nothing for anything else.
std::optional<LumaPlane> readLumaPGM(const std::filesystem::path& path);

}  // namespace vantrel::testing

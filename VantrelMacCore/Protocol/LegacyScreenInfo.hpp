#pragma once

// The manager's screen requests (GET_SCREEN 21, GET_SCREEN_INFO 25) and the agent's answers, which
// are modified copies of the request, always of kind 25; plus the sizing rules of the screen path.
//
// Numeric fields of the record, each a 4-byte little-endian integer: 228 kind, 232 comNum,
// 483 clientWidth, 487 clientHeight, 491 picWidth, 495 picHeight, 499 accel, 503 cursor,
// 507 screenInfoVersion, 511 monitorCount, 515 selectedIndex, 519 dpiRate. Every other byte
// belongs to the manager's object and is carried over unchanged.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "Support/Bytes.hpp"

namespace vantrel {

struct LegacyScreenInfoFields {
  std::uint32_t kind = 0;
  std::int32_t comNum = 0;
  std::int32_t clientWidth = 0;
  std::int32_t clientHeight = 0;
  std::int32_t picWidth = 0;
  std::int32_t picHeight = 0;
  std::int32_t accel = 0;
  std::int32_t cursor = 0;
  std::int32_t screenInfoVersion = 0;
  std::int32_t monitorCount = 0;
  std::int32_t selectedIndex = 0;
  std::int32_t dpiRate = 0;

  bool showsCursor() const noexcept { return cursor != 0; }

  friend bool operator==(const LegacyScreenInfoFields&, const LegacyScreenInfoFields&) = default;
};

namespace LegacyScreenInfoCodec {
inline constexpr std::size_t kindOffset = 228;
inline constexpr std::size_t comNumOffset = 232;
inline constexpr std::size_t clientWidthOffset = 483;
inline constexpr std::size_t clientHeightOffset = 487;
inline constexpr std::size_t picWidthOffset = 491;
inline constexpr std::size_t picHeightOffset = 495;
inline constexpr std::size_t accelOffset = 499;
inline constexpr std::size_t cursorOffset = 503;
inline constexpr std::size_t screenInfoVersionOffset = 507;
inline constexpr std::size_t monitorCountOffset = 511;
inline constexpr std::size_t selectedIndexOffset = 515;
inline constexpr std::size_t dpiRateOffset = 519;
inline constexpr std::size_t numericFieldsEndOffset = 523;
inline constexpr std::size_t fixedPayloadByteCount = 527;

inline constexpr std::int32_t responseScreenInfoVersion = 3;

inline constexpr std::int64_t maxTargetWidth = 1920;
inline constexpr std::int64_t maxTargetHeight = 1080;
inline constexpr std::int64_t minTargetWidth = 320;
inline constexpr std::int64_t minTargetHeight = 180;
inline constexpr std::int64_t fallbackTargetWidth = 1280;
inline constexpr std::int64_t fallbackTargetHeight = 720;

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The request's fields; nullopt below 523 bytes or unless the probed kind is 21 or 25.
std::optional<LegacyScreenInfoFields> parse(ByteView payload) noexcept;

// The answer to a GET_SCREEN request (probed kind exactly 21), announcing the sizes the agent
// will stream: kind 25, comNum, the clamped sizes and DPI rate, version 3, one monitor, index 0.
std::optional<Bytes> makeGetScreenInfoResponse(ByteView requestPayload, std::uint16_t comNum,
                                               std::int64_t clientWidth, std::int64_t clientHeight,
                                               std::int64_t picWidth, std::int64_t picHeight,
                                               std::int64_t dpiRate);

// An answer that tells the manager to reset its decoder: kind 25, comNum, four zero sizes,
// version 3; accepts a request of kind 21 or 25.
std::optional<Bytes> makeDecoderResetResponse(ByteView requestPayload, std::uint16_t comNum);

// The source scaled down (never up) to fit the limits, aspect kept; sides at least 1 and not
// rounded to even numbers. Inputs below 1 count as 1.
PixelSize fitAspect(std::int64_t sourceWidth, std::int64_t sourceHeight, std::int64_t maxWidth,
                    std::int64_t maxHeight) noexcept;

// The streamed size for a display and a requested picture size (even sides; 1280 × 720 as the
// last resort).
PixelSize chooseTargetSize(std::int64_t sourceWidth, std::int64_t sourceHeight,
                           std::int64_t requestedPicWidth, std::int64_t requestedPicHeight) noexcept;

// Bits per second for a stream of that size: 1.5 Mbit/s plus up to 1.5 Mbit/s by area.
std::int64_t recommendedBitrate(std::int64_t width, std::int64_t height) noexcept;
}  // namespace LegacyScreenInfoCodec

}  // namespace vantrel

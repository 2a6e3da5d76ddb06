#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"

namespace vantrel {

// The manager's 20-byte input record (frame command 7), little-endian:
// 0 comNum Int32 | 4 command UInt8 | 5 mode UInt8 | 6 delay UInt16 | 8 x Int32 | 12 y Int32 |
// 16 random Int16 | 18 two bytes not read.
// `x` is the pointer x, the key code for key modes or the wheel amount for the wheel mode.
struct LegacyInputPacket {
  static constexpr std::size_t byteCount = 20;
  static constexpr std::uint8_t remoteMouseCommand = 50;

  std::int32_t comNum = 0;
  std::uint8_t command = 0;
  std::uint8_t mode = 0;
  std::uint16_t delay = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int16_t random = 0;

  // nullopt unless exactly 20 bytes. Neither command nor mode is checked here: the injector
  // rejects what it cannot perform.
  static std::optional<LegacyInputPacket> decode(ByteView data) noexcept;

  // "mouse-move", "left-down", … "wheel"; "mode-0x%02X" for any other mode.
  std::string diagnosticKind() const;

  friend bool operator==(const LegacyInputPacket&, const LegacyInputPacket&) = default;
};

}  // namespace vantrel

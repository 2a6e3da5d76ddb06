#include "Protocol/LegacyInputPacket.hpp"

#include <fmt/format.h>

namespace vantrel {

std::optional<LegacyInputPacket> LegacyInputPacket::decode(ByteView data) noexcept {
  if (data.size() != byteCount) return std::nullopt;
  LegacyInputPacket packet;
  packet.comNum = *readI32LE(data, 0);
  packet.command = data[4];
  packet.mode = data[5];
  packet.delay = *readU16LE(data, 6);
  packet.x = *readI32LE(data, 8);
  packet.y = *readI32LE(data, 12);
  packet.random = static_cast<std::int16_t>(*readU16LE(data, 16));
  return packet;
}

std::string LegacyInputPacket::diagnosticKind() const {
  switch (mode) {
    case 1: return "mouse-move";
    case 2: return "left-down";
    case 4: return "left-up";
    case 5: return "key-down";
    case 6: return "key-up";
    case 8: return "right-down";
    case 16: return "right-up";
    case 32: return "middle-down";
    case 64: return "middle-up";
    case 136: return "wheel";
    default: return fmt::format("mode-0x{:02X}", mode);
  }
}

}  // namespace vantrel

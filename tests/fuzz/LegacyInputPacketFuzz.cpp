// Decodes arbitrary bytes as an input packet: exactly the 20-byte inputs decode, and the fields
// are the little-endian values at their offsets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/LegacyInputPacket.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  const auto packet = LegacyInputPacket::decode(bytes);
  if (packet.has_value() != (size == LegacyInputPacket::byteCount)) std::abort();
  if (!packet) return 0;
  if (packet->command != data[4] || packet->mode != data[5]) std::abort();
  if (packet->x != *readI32LE(bytes, 8) || packet->y != *readI32LE(bytes, 12)) std::abort();
  if (packet->diagnosticKind().empty()) std::abort();
  return 0;
}

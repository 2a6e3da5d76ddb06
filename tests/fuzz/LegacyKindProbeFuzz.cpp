// Probes arbitrary bytes as a TSocketData envelope. A recognised payload must really have the
// serialization header first, and the Kind must be the four bytes after the first member marker.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/LegacyNrbfRecords.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView payload(data, size);
  const auto kind = LegacyTSocketDataKindProbe::probeKind(payload);
  if (!kind) return 0;
  if (size < LegacyTSocketDataKindProbe::minimumPayloadByteCount) std::abort();
  if (!startsWith(payload, LegacyNrbf::serializationHeader())) std::abort();
  const auto markerEnd = LegacyNrbf::memberMarkerEnd(payload);
  if (!markerEnd || size - *markerEnd < 8) std::abort();
  if (readU32LE(payload, *markerEnd) != *kind) std::abort();
  return 0;
}

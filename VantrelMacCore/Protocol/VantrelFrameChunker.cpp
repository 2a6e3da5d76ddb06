#include "Protocol/VantrelFrameChunker.hpp"

#include <cstring>

#include "Protocol/VantrelProtocol.hpp"

namespace vantrel::VantrelFrameChunker {
namespace {

constexpr std::size_t chunk = VantrelProtocol::maxChunkPayloadSize;

// Number of chunks for a payload; throws when it cannot be encoded.
std::size_t chunkCount(std::size_t n) {
  if (n == 0) return 1;
  if (static_cast<std::uint64_t>(n) > maxEncodablePayload) {
    throw VantrelFrameError::payloadTooLargeForEncoding(n);
  }
  return (n + chunk - 1) / chunk;
}

VantrelHeader headerFor(std::size_t index, std::size_t count, std::size_t size, std::uint8_t command,
                        std::uint16_t timestamp, std::uint16_t comNum) {
  VantrelHeader header;
  header.command = command;
  header.sequenceNumber = static_cast<std::uint16_t>(index);
  header.numChunks = static_cast<std::uint16_t>(count);
  header.timestamp = timestamp;
  header.chunkSize = static_cast<std::uint16_t>(size);
  header.comNum = comNum;
  return header;
}

}  // namespace

std::vector<VantrelFrame> makeFrames(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                     std::uint16_t comNum) {
  const auto n = payload.size();
  const auto count = chunkCount(n);
  std::vector<VantrelFrame> frames;
  frames.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = i * chunk;
    const auto size = std::min(n, begin + chunk) - begin;
    frames.push_back(VantrelFrame{headerFor(i, count, size, command, timestamp, comNum),
                                  Bytes(payload.begin() + static_cast<std::ptrdiff_t>(begin),
                                        payload.begin() + static_cast<std::ptrdiff_t>(begin + size))});
  }
  return frames;
}

std::vector<Bytes> encodePackets(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                 std::uint16_t comNum) {
  const auto n = payload.size();
  const auto count = chunkCount(n);
  std::vector<Bytes> packets;
  packets.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = i * chunk;
    const auto size = std::min(n, begin + chunk) - begin;
    Bytes packet(VantrelHeader::byteCount + size);
    VantrelHeaderCodec::encodeInto(headerFor(i, count, size, command, timestamp, comNum), packet.data());
    if (size > 0) std::memcpy(packet.data() + VantrelHeader::byteCount, payload.data() + begin, size);
    packets.push_back(std::move(packet));
  }
  return packets;
}

Bytes encodeAll(ByteView payload, std::uint8_t command, std::uint16_t timestamp, std::uint16_t comNum) {
  const auto n = payload.size();
  const auto count = chunkCount(n);
  Bytes out(n + count * VantrelHeader::byteCount);
  auto* cursor = out.data();
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = i * chunk;
    const auto size = std::min(n, begin + chunk) - begin;
    VantrelHeaderCodec::encodeInto(headerFor(i, count, size, command, timestamp, comNum), cursor);
    cursor += VantrelHeader::byteCount;
    if (size > 0) std::memcpy(cursor, payload.data() + begin, size);
    cursor += size;
  }
  return out;
}

}  // namespace vantrel::VantrelFrameChunker

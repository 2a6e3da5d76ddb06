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

// Calls `visit(header, chunkBytes)` for every chunk of the payload, in order; returns the count.
template <typename Visit>
std::size_t forEachChunk(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                         std::uint16_t comNum, Visit&& visit) {
  const auto n = payload.size();
  const auto count = chunkCount(n);
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = i * chunk;
    const auto size = std::min(n, begin + chunk) - begin;
    VantrelHeader header;
    header.command = command;
    header.sequenceNumber = static_cast<std::uint16_t>(i);
    header.numChunks = static_cast<std::uint16_t>(count);
    header.timestamp = timestamp;
    header.chunkSize = static_cast<std::uint16_t>(size);
    header.comNum = comNum;
    visit(header, payload.subspan(begin, size));
  }
  return count;
}

}  // namespace

std::vector<VantrelFrame> makeFrames(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                     std::uint16_t comNum) {
  std::vector<VantrelFrame> frames;
  frames.reserve(chunkCount(payload.size()));
  forEachChunk(payload, command, timestamp, comNum, [&](const VantrelHeader& header, ByteView bytes) {
    frames.push_back(VantrelFrame{header, Bytes(bytes.begin(), bytes.end())});
  });
  return frames;
}

std::vector<Bytes> encodePackets(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                 std::uint16_t comNum) {
  std::vector<Bytes> packets;
  packets.reserve(chunkCount(payload.size()));
  forEachChunk(payload, command, timestamp, comNum, [&](const VantrelHeader& header, ByteView bytes) {
    Bytes packet(VantrelHeader::byteCount + bytes.size());
    VantrelHeaderCodec::encodeInto(header, packet.data());
    if (!bytes.empty()) std::memcpy(packet.data() + VantrelHeader::byteCount, bytes.data(), bytes.size());
    packets.push_back(std::move(packet));
  });
  return packets;
}

Bytes encodeAll(ByteView payload, std::uint8_t command, std::uint16_t timestamp, std::uint16_t comNum) {
  Bytes out(payload.size() + chunkCount(payload.size()) * VantrelHeader::byteCount);
  auto* cursor = out.data();
  forEachChunk(payload, command, timestamp, comNum, [&](const VantrelHeader& header, ByteView bytes) {
    VantrelHeaderCodec::encodeInto(header, cursor);
    cursor += VantrelHeader::byteCount;
    if (!bytes.empty()) std::memcpy(cursor, bytes.data(), bytes.size());
    cursor += bytes.size();
  });
  return out;
}

}  // namespace vantrel::VantrelFrameChunker

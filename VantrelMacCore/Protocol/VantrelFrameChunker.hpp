#pragma once

#include <cstdint>
#include <vector>

#include "Protocol/VantrelFrame.hpp"

namespace vantrel::VantrelFrameChunker {

// The largest payload that fits in 65,535 chunks of 60,000 bytes.
inline constexpr std::uint64_t maxEncodablePayload = 65535ULL * 60000ULL;

// Splits a payload into frames of at most 60,000 bytes sharing command, timestamp and comNum.
// An empty payload gives one empty frame. Throws `payloadTooLargeForEncoding` past 65,535 chunks.
std::vector<VantrelFrame> makeFrames(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                     std::uint16_t comNum);
// `makeFrames` with every frame encoded, one buffer per frame, in order.
std::vector<Bytes> encodePackets(ByteView payload, std::uint8_t command, std::uint16_t timestamp,
                                 std::uint16_t comNum);
// The encoded frames concatenated into one buffer.
Bytes encodeAll(ByteView payload, std::uint8_t command, std::uint16_t timestamp, std::uint16_t comNum);

}  // namespace vantrel::VantrelFrameChunker

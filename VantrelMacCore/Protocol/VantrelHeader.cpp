#include "Protocol/VantrelHeader.hpp"

#include <fmt/format.h>

namespace vantrel {

std::optional<std::string> VantrelHeaderError::errorDescription() const {
  switch (case_) {
    case Case::packetTooShort:
      return fmt::format("Vantrel header too short: got {} byte(s), need at least {}.", actualLength_,
                         expectedMinimum_);
    case Case::invalidSignature:
      return fmt::format("Vantrel header invalid signature: got 0x{:02X}, expected 0x{:02X}.", actual_,
                         expected_);
  }
  return std::nullopt;
}

std::optional<std::string> VantrelHeaderError::failureReason() const {
  switch (case_) {
    case Case::packetTooShort: return "The packet does not contain a complete 12-byte Vantrel v1 header.";
    case Case::invalidSignature: return "The first byte must be the Vantrel signature 0xFE.";
  }
  return std::nullopt;
}

namespace VantrelHeaderCodec {
namespace {
void writeUInt16BE(std::uint16_t value, std::uint8_t* bytes, std::size_t index) noexcept {
  bytes[index] = static_cast<std::uint8_t>(value >> 8);
  bytes[index + 1] = static_cast<std::uint8_t>(value & 0xFF);
}
std::uint16_t readUInt16BE(ByteView bytes, std::size_t index) noexcept {
  return static_cast<std::uint16_t>((bytes[index] << 8) | bytes[index + 1]);
}
}  // namespace

void encodeInto(const VantrelHeader& header, std::uint8_t* out) noexcept {
  out[0] = VantrelHeader::signature;
  out[1] = header.command;
  writeUInt16BE(header.sequenceNumber, out, 2);
  writeUInt16BE(header.numChunks, out, 4);
  writeUInt16BE(header.timestamp, out, 6);
  writeUInt16BE(header.chunkSize, out, 8);
  writeUInt16BE(header.comNum, out, 10);
}

Bytes encode(const VantrelHeader& header) {
  Bytes bytes(VantrelHeader::byteCount, 0);
  encodeInto(header, bytes.data());
  return bytes;
}

VantrelHeader decode(ByteView bytes) {
  if (bytes.size() < VantrelHeader::byteCount) {
    throw VantrelHeaderError::packetTooShort(bytes.size(), VantrelHeader::byteCount);
  }
  if (bytes[0] != VantrelHeader::signature) {
    throw VantrelHeaderError::invalidSignature(bytes[0], VantrelHeader::signature);
  }
  VantrelHeader header;
  header.command = bytes[1];
  header.sequenceNumber = readUInt16BE(bytes, 2);
  header.numChunks = readUInt16BE(bytes, 4);
  header.timestamp = readUInt16BE(bytes, 6);
  header.chunkSize = readUInt16BE(bytes, 8);
  header.comNum = readUInt16BE(bytes, 10);
  return header;
}
}  // namespace VantrelHeaderCodec

}  // namespace vantrel

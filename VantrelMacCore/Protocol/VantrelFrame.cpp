#include "Protocol/VantrelFrame.hpp"

#include <fmt/format.h>

namespace vantrel {

Bytes VantrelFrame::encode() const {
  Bytes out(VantrelHeader::byteCount + payload.size());
  VantrelHeaderCodec::encodeInto(header, out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + VantrelHeader::byteCount);
  return out;
}

std::optional<std::string> VantrelFrameError::errorDescription() const {
  switch (case_) {
    case Case::invalidSignature:
      return fmt::format("Vantrel frame invalid signature: got 0x{:02X}, expected 0x{:02X}.", first_,
                         second_);
    case Case::invalidSequenceNumber:
      return fmt::format("Vantrel frame invalid sequenceNumber {} for numChunks {}.", first_, second_);
    case Case::chunkSizeExceedsMaximum:
      return fmt::format("Vantrel frame chunkSize {} exceeds maximum {}.", first_, second_);
    case Case::bufferLimitExceeded:
      return fmt::format("Vantrel frame buffer limit exceeded: {} bytes buffered (limit {}).", first_,
                         second_);
    case Case::payloadTooLargeForEncoding:
      return fmt::format("Vantrel payload of {} bytes cannot be encoded into frames.", first_);
    case Case::zeroChunks: return "Vantrel frame declared numChunks=0; at least one chunk is required.";
  }
  return std::nullopt;
}

std::optional<std::string> VantrelFrameError::failureReason() const {
  switch (case_) {
    case Case::invalidSignature: return "Each frame must begin with signature byte 0xFE.";
    case Case::invalidSequenceNumber: return "sequenceNumber must be strictly less than numChunks.";
    case Case::chunkSizeExceedsMaximum: return "Each frame payload is limited to 60,000 bytes.";
    case Case::bufferLimitExceeded:
      return "The stream decoder refuses unbounded buffering of incomplete frames.";
    case Case::payloadTooLargeForEncoding:
      return "The encoder could not split the payload into valid chunks.";
    case Case::zeroChunks: return "The Vantrel header requires numChunks >= 1.";
  }
  return std::nullopt;
}

}  // namespace vantrel

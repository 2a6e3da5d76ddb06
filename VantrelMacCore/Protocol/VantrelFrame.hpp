#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Protocol/VantrelHeader.hpp"
#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// One frame: a header and its payload. Nothing is checked on construction.
struct VantrelFrame {
  VantrelHeader header;
  Bytes payload;

  // The 12 header bytes followed by the payload, whatever `chunkSize` says.
  Bytes encode() const;

  friend bool operator==(const VantrelFrame&, const VantrelFrame&) = default;
};

class VantrelFrameError : public Error {
 public:
  enum class Case {
    invalidSignature,
    invalidSequenceNumber,
    chunkSizeExceedsMaximum,
    bufferLimitExceeded,
    payloadTooLargeForEncoding,
    zeroChunks,
  };

  static VantrelFrameError invalidSignature(std::uint8_t actual, std::uint8_t expected) {
    return VantrelFrameError(Case::invalidSignature, actual, expected);
  }
  static VantrelFrameError invalidSequenceNumber(std::uint16_t sequenceNumber, std::uint16_t numChunks) {
    return VantrelFrameError(Case::invalidSequenceNumber, sequenceNumber, numChunks);
  }
  static VantrelFrameError chunkSizeExceedsMaximum(std::uint16_t chunkSize, std::size_t maximum) {
    return VantrelFrameError(Case::chunkSizeExceedsMaximum, chunkSize, maximum);
  }
  static VantrelFrameError bufferLimitExceeded(std::size_t bufferedBytes, std::size_t limit) {
    return VantrelFrameError(Case::bufferLimitExceeded, bufferedBytes, limit);
  }
  static VantrelFrameError payloadTooLargeForEncoding(std::size_t byteCount) {
    return VantrelFrameError(Case::payloadTooLargeForEncoding, byteCount, 0);
  }
  static VantrelFrameError zeroChunks() { return VantrelFrameError(Case::zeroChunks, 0, 0); }

  Case kind() const noexcept { return case_; }
  // The associated values in declaration order (actual/expected, sequenceNumber/numChunks,
  // chunkSize/maximum, bufferedBytes/limit, byteCount/0).
  std::size_t first() const noexcept { return first_; }
  std::size_t second() const noexcept { return second_; }

  std::optional<std::string> errorDescription() const override;
  std::optional<std::string> failureReason() const override;
  std::string errorDomain() const override { return "VantrelMacCore.VantrelFrameError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const VantrelFrameError& a, const VantrelFrameError& b) {
    return a.case_ == b.case_ && a.first_ == b.first_ && a.second_ == b.second_;
  }

 private:
  VantrelFrameError(Case c, std::size_t first, std::size_t second)
      : case_(c), first_(first), second_(second) {}
  Case case_;
  std::size_t first_;
  std::size_t second_;
};

}  // namespace vantrel

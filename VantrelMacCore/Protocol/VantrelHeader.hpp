#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// The 12-byte big-endian header in front of every frame.
struct VantrelHeader {
  static constexpr std::size_t byteCount = 12;
  static constexpr std::uint8_t signature = 0xFE;

  std::uint8_t command = 0;
  std::uint16_t sequenceNumber = 0;
  std::uint16_t numChunks = 0;
  std::uint16_t timestamp = 0;
  std::uint16_t chunkSize = 0;
  std::uint16_t comNum = 0;

  friend bool operator==(const VantrelHeader&, const VantrelHeader&) = default;
};

class VantrelHeaderError : public Error {
 public:
  enum class Case { packetTooShort, invalidSignature };

  static VantrelHeaderError packetTooShort(std::size_t actualLength, std::size_t expectedMinimum) {
    VantrelHeaderError e(Case::packetTooShort);
    e.actualLength_ = actualLength;
    e.expectedMinimum_ = expectedMinimum;
    return e;
  }
  static VantrelHeaderError invalidSignature(std::uint8_t actual, std::uint8_t expected) {
    VantrelHeaderError e(Case::invalidSignature);
    e.actual_ = actual;
    e.expected_ = expected;
    return e;
  }

  Case kind() const noexcept { return case_; }
  std::size_t actualLength() const noexcept { return actualLength_; }
  std::size_t expectedMinimum() const noexcept { return expectedMinimum_; }
  std::uint8_t actual() const noexcept { return actual_; }
  std::uint8_t expected() const noexcept { return expected_; }

  std::optional<std::string> errorDescription() const override;
  std::optional<std::string> failureReason() const override;
  std::string errorDomain() const override { return "VantrelMacCore.VantrelHeaderError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const VantrelHeaderError& a, const VantrelHeaderError& b) {
    return a.case_ == b.case_ && a.actualLength_ == b.actualLength_ &&
           a.expectedMinimum_ == b.expectedMinimum_ && a.actual_ == b.actual_ && a.expected_ == b.expected_;
  }

 private:
  explicit VantrelHeaderError(Case c) : case_(c) {}
  Case case_;
  std::size_t actualLength_ = 0;
  std::size_t expectedMinimum_ = 0;
  std::uint8_t actual_ = 0;
  std::uint8_t expected_ = 0;
};

namespace VantrelHeaderCodec {
// Exactly 12 bytes; field values are not validated.
Bytes encode(const VantrelHeader& header);
// Writes the 12 header bytes at `out` (which must have room for them).
void encodeInto(const VantrelHeader& header, std::uint8_t* out) noexcept;
// Reads the first 12 bytes; bytes beyond the twelfth are ignored.
VantrelHeader decode(ByteView bytes);
}  // namespace VantrelHeaderCodec

}  // namespace vantrel

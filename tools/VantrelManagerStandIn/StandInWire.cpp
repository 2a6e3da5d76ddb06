#include "StandInWire.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace vantrel::standin {

namespace {

void put32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void putFixed(Bytes& out, const std::string& text, std::size_t size) {
  if (text.size() >= size) throw std::runtime_error("name too long for the file record: " + text);
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), size - text.size(), 0);
}

}  // namespace

std::string hex(const crypto::Sha256Digest& digest) {
  std::string out;
  for (auto b : digest) out += fmt::format("{:02x}", b);
  return out;
}

// The 20-byte input record, little-endian.
Bytes inputPacket(std::uint16_t comNum, std::uint8_t mode, std::int32_t x, std::int32_t y) {
  Bytes out;
  put32(out, comNum);
  out.push_back(remoteMouseCommand);
  out.push_back(mode);
  out.insert(out.end(), {0, 0});
  put32(out, static_cast<std::uint32_t>(x));
  put32(out, static_cast<std::uint32_t>(y));
  out.insert(out.end(), {0, 0, 0, 0});
  return out;
}

// The 632-byte file record, little-endian, strings zero-padded.
Bytes fileRecord(std::uint16_t comNum, std::uint64_t size, const std::string& name,
                 const std::string& folder) {
  Bytes out;
  put32(out, comNum);
  put32(out, 0);  // index in the batch
  put32(out, 1);  // files in the batch
  put32(out, 1);  // clipboard transfer
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  putFixed(out, name, 96);
  putFixed(out, folder, 256);
  putFixed(out, "", 256);
  return out;
}

std::string fixedText(ByteView record, std::size_t at, std::size_t size) {
  std::string out;
  for (std::size_t i = at; i < at + size && record[i] != 0; ++i) out.push_back(static_cast<char>(record[i]));
  return out;
}

// The first string record after the 236-byte prefix of a string envelope.
std::optional<std::string> firstString(ByteView envelope) {
  for (std::size_t i = 236; i + 6 <= envelope.size(); ++i) {
    if (envelope[i] != 0x06) continue;
    std::size_t at = i + 5;
    std::size_t length = 0;
    int shift = 0;
    while (at < envelope.size()) {
      const std::uint8_t b = envelope[at++];
      length |= static_cast<std::size_t>(b & 0x7F) << shift;
      shift += 7;
      if ((b & 0x80) == 0) break;
      if (shift > 28) return std::nullopt;
    }
    if (at + length > envelope.size()) return std::nullopt;
    return std::string(envelope.begin() + static_cast<std::ptrdiff_t>(at),
                       envelope.begin() + static_cast<std::ptrdiff_t>(at + length));
  }
  return std::nullopt;
}

}  // namespace vantrel::standin

#include "Update/UpdateEncoding.hpp"

#include <array>
#include <limits>

namespace vantrel::update_encoding {
namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> decodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}
constexpr auto table = decodeTable();

}  // namespace

std::optional<Bytes> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (last && j >= 4 - padding) {
        if (c != '=') return std::nullopt;
        group <<= 6;
        continue;
      }
      const auto value = table[static_cast<unsigned char>(c)];
      if (value < 0) return std::nullopt;
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    const std::size_t produced = last ? 3 - padding : 3;
    // The bits below the last produced byte must be zero (one canonical text per value).
    if (produced < 3 && (group & ((1u << (8 * (3 - produced))) - 1)) != 0) return std::nullopt;
    for (std::size_t k = 0; k < produced; ++k)
      out.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * k)));
  }
  return out;
}

std::string encodeBase64(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) group = (group << 8) | (k < n ? bytes[i + k] : 0u);
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

std::optional<std::uint64_t> parseUInt64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parseBuildNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto value = parseUInt64(text);
  if (!value) return std::nullopt;
  // "-0" parses as zero; a sign "-" is never a build number, so it is refused like "0".
  if (text.front() == '-' || text.front() == '0') return std::nullopt;
  if (text.size() > 15) return std::nullopt;
  return value;
}

}  // namespace vantrel::update_encoding

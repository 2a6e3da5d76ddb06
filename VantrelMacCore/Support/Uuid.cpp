#include "Support/Uuid.hpp"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "Support/Bytes.hpp"

namespace vantrel {

void secureRandomBytes(std::uint8_t* out, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count) {
    const auto n = ::getrandom(out + filled, count - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<std::size_t>(n);
  }
}

Uuid Uuid::random() {
  Uuid uuid;
  secureRandomBytes(uuid.bytes_.data(), uuid.bytes_.size());
  uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);
  uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);
  return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  std::string hex;
  hex.reserve(32);
  for (const char c : text) {
    if (c != '-') hex.push_back(c);
  }
  auto bytes = bytesFromHex(hex);
  if (!bytes || bytes->size() != 16) return std::nullopt;
  Uuid uuid;
  std::copy(bytes->begin(), bytes->end(), uuid.bytes_.begin());
  return uuid;
}

std::string Uuid::toString() const {
  const auto hex = hexString(ByteView(bytes_.data(), bytes_.size()));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

}  // namespace vantrel

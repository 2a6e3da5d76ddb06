#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// A random (version 4) UUID, written upper-case with hyphens like the platform's UUID.
class Uuid {
 public:
  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);

  std::string toString() const;
  const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

// Fills the buffer from the kernel's random source; throws std::system_error when it cannot.
void secureRandomBytes(std::uint8_t* out, std::size_t count);

}  // namespace vantrel

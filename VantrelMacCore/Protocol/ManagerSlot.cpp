#include "Protocol/ManagerSlot.hpp"

#include <charconv>
#include <string>

#include "Support/Text.hpp"

namespace vantrel::ManagerSlot {

std::int64_t slotFromComNum(std::uint16_t comNum) noexcept { return static_cast<std::int64_t>(comNum) + 1; }

std::optional<std::uint16_t> comNumFromSlot(std::int64_t slot) noexcept {
  if (slot < minimumSlot || slot > maximumSlot) return std::nullopt;
  return static_cast<std::uint16_t>(slot - 1);
}

std::optional<std::uint16_t> comNumFromSlotText(std::string_view text) {
  const std::string trimmed = text::trimmed(text);
  if (trimmed.empty()) return std::nullopt;
  std::string_view rest(trimmed);
  const bool negative = rest.front() == '-';
  if (rest.front() == '+' || rest.front() == '-') rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  for (const char c : rest) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse the magnitude with its sign so that the most negative 64-bit value stays in range.
  const std::string signedDigits = (negative ? "-" : "") + std::string(rest);
  std::int64_t value = 0;
  const auto* end = signedDigits.data() + signedDigits.size();
  const auto [ptr, ec] = std::from_chars(signedDigits.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return comNumFromSlot(value);
}

}  // namespace vantrel::ManagerSlot

#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

// The manager lists clients under 1-based slot numbers; the wire carries comNum = slot - 1, so
// the 65,536 slots cover the whole UInt16 range.
namespace ManagerSlot {
inline constexpr std::int64_t minimumSlot = 1;
inline constexpr std::int64_t maximumSlot = 65536;

// comNum + 1 (1…65536).
std::int64_t slotFromComNum(std::uint16_t comNum) noexcept;
// slot - 1 for 1 ≤ slot ≤ 65536, else nullopt.
std::optional<std::uint16_t> comNumFromSlot(std::int64_t slot) noexcept;
// A slot number typed by a user or stored in settings: trimmed, then an optional sign and
// decimal digits only, within the 64-bit range, then `comNumFromSlot`.
std::optional<std::uint16_t> comNumFromSlotText(std::string_view text);
}  // namespace ManagerSlot

}  // namespace vantrel

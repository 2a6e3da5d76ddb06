#pragma once

// The development channel's envelope: the prefix followed by one JSON object.

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::AIWire {

inline constexpr std::string_view prefixText = "VNMACAI1\n";

// The 9 bytes "VNMACAI1" and a line feed that begin every envelope.
inline ByteView prefix() noexcept { return asBytes(prefixText); }

inline bool hasPrefix(ByteView payload) noexcept { return startsWith(payload, prefix()); }

// The prefix followed by the compact JSON text of `object`; bytes of a text that are not UTF-8
// become U+FFFD.
Bytes encode(const nlohmann::json& object);

}  // namespace vantrel::AIWire

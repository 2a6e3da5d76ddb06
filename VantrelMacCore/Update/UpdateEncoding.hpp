#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::update_encoding {

// Standard Base64 (RFC 4648 alphabet, "=" padding) decoded strictly: the length is a multiple
// of four, every character is of the alphabet, padding stands only at the end (at most two),
// and the bits that padding leaves over are zero. Anything else (white space, line breaks, the
// URL-safe alphabet, missing padding) is nullopt. The empty text decodes to no bytes.
std::optional<Bytes> decodeBase64(std::string_view text);

// Standard Base64 with padding.
std::string encodeBase64(ByteView bytes);

// The strict unsigned 64-bit decimal parse: an optional single "+" or "-", then one or more
// ASCII digits and nothing else; the value must fit in 64 bits, and after "-" only zero fits.
std::optional<std::uint64_t> parseUInt64(std::string_view text);

// A well-formed build number: 1 to 15 characters, accepted by `parseUInt64`, no leading "-",
// not beginning with "0". Returns its value.
std::optional<std::uint64_t> parseBuildNumber(std::string_view text);

}  // namespace vantrel::update_encoding

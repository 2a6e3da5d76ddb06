#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequence.
bool isValidUTF8(ByteView bytes) noexcept;
inline bool isValidUTF8(std::string_view s) noexcept { return isValidUTF8(asBytes(s)); }

// Every byte below 0x80.
bool isASCII(std::string_view s) noexcept;

// White space and newlines as Unicode defines them: general category Z*, U+0009…U+000D, U+0085.
bool isWhitespaceOrNewline(char32_t scalar) noexcept;

// Removes white space and newlines from both ends (scalar by scalar). Bytes that are not valid
// UTF-8 count as ordinary characters and are kept.
std::string trimmed(std::string_view s);

// True when the text is empty or consists only of white space and newlines.
bool isBlank(std::string_view s);

// Number of user-perceived characters (extended grapheme clusters). Invalid bytes count one each.
std::size_t characterCount(std::string_view s);

// The first `count` characters (grapheme clusters) of the text.
std::string prefixCharacters(std::string_view s, std::size_t count);

// Canonical composition (NFC). Invalid UTF-8 is returned unchanged.
std::string nfc(std::string_view s);

// Full Unicode lower-casing, scalar by scalar. Invalid UTF-8 is returned unchanged.
std::string lowercased(std::string_view s);

// Equality ignoring case (Unicode case folding after canonical normalisation).
bool caseInsensitiveEquals(std::string_view a, std::string_view b);

// Decodes the scalars of valid UTF-8; nullopt for invalid input.
std::optional<std::u32string> scalars(std::string_view s);
// Encodes one scalar as UTF-8 (replacement character for an invalid scalar).
std::string encodeScalar(char32_t scalar);

// A file name or path as text that is always valid UTF-8: valid sequences are kept as they are,
// every byte that is not part of one is written as "%" and two upper-case hexadecimal digits.
// Linux names are arbitrary bytes; JSON documents and log lines need text.
std::string printableFileName(std::string_view name);

// Text from outside the process (a server's message, a host name, a manager's file name) made
// safe to put into a log line: it can neither start a line of its own nor carry terminal escape
// codes or reordering marks. Control and format characters and line or paragraph separators
// become "\xHH" (below U+0080) or "\u{HHHH}", a byte that is not valid UTF-8 becomes "\xHH",
// and text longer than `maximumBytes` is cut at a character boundary and ends in
// "… (N bytes)" with its full length. Everything else, backslashes included, is kept as it is, so
// applying it twice changes nothing more.
inline constexpr std::size_t maximumLoggedBytes = 512;
std::string loggable(std::string_view s, std::size_t maximumBytes = maximumLoggedBytes);

}  // namespace vantrel::text

#include "Support/Text.hpp"

#include <fmt/format.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace vantrel::text {
namespace {

const utf8proc_uint8_t* u8(std::string_view s) { return reinterpret_cast<const utf8proc_uint8_t*>(s.data()); }

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const noexcept { std::free(p); }
};

std::optional<std::string> mapped(std::string_view s, int options) {
  utf8proc_uint8_t* out = nullptr;
  const auto length = utf8proc_map(u8(s), static_cast<utf8proc_ssize_t>(s.size()), &out,
                                   static_cast<utf8proc_option_t>(options));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> guard(out);
  if (length < 0 || out == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

// Decodes one scalar at `i`; returns its length, or -1 for an invalid sequence.
utf8proc_ssize_t decodeAt(std::string_view s, std::size_t i, utf8proc_int32_t& scalar) {
  return utf8proc_iterate(u8(s) + i, static_cast<utf8proc_ssize_t>(s.size() - i), &scalar);
}

}  // namespace

bool isValidUTF8(ByteView bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    utf8proc_int32_t scalar = 0;
    const auto n =
        utf8proc_iterate(bytes.data() + i, static_cast<utf8proc_ssize_t>(bytes.size() - i), &scalar);
    if (n <= 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

bool isASCII(std::string_view s) noexcept {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool isWhitespaceOrNewline(char32_t scalar) noexcept {
  if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20 || scalar == 0x85) return true;
  if (scalar < 0x80) return false;
  const auto* property = utf8proc_get_property(static_cast<utf8proc_int32_t>(scalar));
  return property->category == UTF8PROC_CATEGORY_ZS || property->category == UTF8PROC_CATEGORY_ZL ||
         property->category == UTF8PROC_CATEGORY_ZP;
}

std::string trimmed(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    utf8proc_int32_t scalar = 0;
    const auto n = decodeAt(s, begin, scalar);
    if (n <= 0 || !isWhitespaceOrNewline(static_cast<char32_t>(scalar))) break;
    begin += static_cast<std::size_t>(n);
  }
  // Walk forward remembering where the last non-white scalar ends.
  std::size_t end = begin;
  std::size_t i = begin;
  while (i < s.size()) {
    utf8proc_int32_t scalar = 0;
    const auto n = decodeAt(s, i, scalar);
    if (n <= 0) {
      ++i;
      end = i;
      continue;
    }
    i += static_cast<std::size_t>(n);
    if (!isWhitespaceOrNewline(static_cast<char32_t>(scalar))) end = i;
  }
  return std::string(s.substr(begin, end - begin));
}

bool isBlank(std::string_view s) { return trimmed(s).empty(); }

namespace {
// Calls `boundary(byteOffset)` at the start of every grapheme cluster after the first.
template <typename F>
void forEachClusterStart(std::string_view s, F&& boundary) {
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t scalar = 0;
    auto n = decodeAt(s, i, scalar);
    bool breakHere = true;
    if (n <= 0) {
      n = 1;
      scalar = -1;
      state = 0;
    } else if (previous >= 0) {
      breakHere = utf8proc_grapheme_break_stateful(previous, scalar, &state);
    }
    if (i != 0 && breakHere) {
      if (!boundary(i)) return;
    }
    previous = scalar;
    i += static_cast<std::size_t>(n);
  }
}
}  // namespace

std::size_t characterCount(std::string_view s) {
  if (s.empty()) return 0;
  std::size_t count = 1;
  forEachClusterStart(s, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string prefixCharacters(std::string_view s, std::size_t count) {
  if (count == 0) return {};
  std::size_t seen = 1;
  std::size_t cut = s.size();
  forEachClusterStart(s, [&](std::size_t offset) {
    if (seen == count) {
      cut = offset;
      return false;
    }
    ++seen;
    return true;
  });
  return std::string(s.substr(0, cut));
}

std::string nfc(std::string_view s) {
  if (isASCII(s)) return std::string(s);
  return mapped(s, UTF8PROC_STABLE | UTF8PROC_COMPOSE).value_or(std::string(s));
}

std::string lowercased(std::string_view s) {
  auto decoded = scalars(s);
  if (!decoded) return std::string(s);
  std::string out;
  out.reserve(s.size());
  for (const auto scalar : *decoded) {
    out += encodeScalar(static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(scalar))));
  }
  return out;
}

bool caseInsensitiveEquals(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD;
  const auto fa = mapped(a, options);
  const auto fb = mapped(b, options);
  if (!fa || !fb) return false;
  return *fa == *fb;
}

std::optional<std::u32string> scalars(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t scalar = 0;
    const auto n = decodeAt(s, i, scalar);
    if (n <= 0) return std::nullopt;
    out.push_back(static_cast<char32_t>(scalar));
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::string encodeScalar(char32_t scalar) {
  utf8proc_uint8_t buffer[4];
  auto value = static_cast<utf8proc_int32_t>(scalar);
  if (!utf8proc_codepoint_valid(value)) value = 0xFFFD;
  const auto n = utf8proc_encode_char(value, buffer);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

namespace {
// Length of the valid UTF-8 sequence starting at `i`, or 0 when the byte there starts none.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  return isValidUTF8(s.substr(i, length)) ? length : 0;
}
}  // namespace

std::string printableFileName(std::string_view name) {
  if (isValidUTF8(name)) return std::string(name);
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() + 8);
  std::size_t i = 0;
  while (i < name.size()) {
    const auto length = validSequenceLength(name, i);
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(name[i]);
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
      ++i;
    } else {
      out.append(name.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string loggable(std::string_view s, std::size_t maximumBytes) {
  std::string out;
  out.reserve(std::min(s.size(), maximumBytes) + 16);
  std::size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t scalar = 0;
    const auto n = decodeAt(s, i, scalar);
    std::string piece;
    std::size_t consumed = 1;
    if (n <= 0) {
      piece = fmt::format("\\x{:02X}", static_cast<unsigned char>(s[i]));
    } else {
      consumed = static_cast<std::size_t>(n);
      const auto category = utf8proc_get_property(scalar)->category;
      if (category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF ||
          category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP) {
        piece = scalar < 0x80 ? fmt::format("\\x{:02X}", scalar) : fmt::format("\\u{{{:04X}}}", scalar);
      } else {
        piece.assign(s.substr(i, consumed));
      }
    }
    if (out.size() + piece.size() > maximumBytes) {
      out += fmt::format("… ({} bytes)", s.size());
      return out;
    }
    out += piece;
    i += consumed;
  }
  return out;
}

}  // namespace vantrel::text

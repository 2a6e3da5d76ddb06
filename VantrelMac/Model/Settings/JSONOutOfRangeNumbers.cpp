#include "Model/Settings/JSONOutOfRangeNumbers.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "Model/Settings/UserDefaults.hpp"

namespace vantrel {
namespace {

// A number token of the JSON grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJSONNumber(std::string_view token) {
  std::size_t i = 0;
  const auto digits = [&] {
    const auto start = i;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') ++i;
    return i > start;
  };
  if (i < token.size() && token[i] == '-') ++i;
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == token.size();
}

// Whether the JSON library refuses the number as too large for a double.
bool beyondDoubleRange(std::string_view token) {
  // Without an exponent a number needs over 300 digits to get there.
  if (token.size() <= 300 && token.find_first_of("eE") == std::string_view::npos) return false;
  return UserDefaults::Value::parse(token, nullptr, false).is_discarded();
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// How many of them a reason names, and how much of each.
constexpr std::size_t namedNumbers = 3;
constexpr std::size_t longestNamedText = 32;

// At most `limit` bytes of the text, cut at the start of a character, with "…" when cut.
std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  auto end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "…";
}

}  // namespace

NulledText nullOutOfRangeNumbers(std::string_view text) {
  NulledText out;
  out.text.reserve(text.size());
  std::size_t depth = 0;
  std::optional<std::string_view> keyCandidate;  // a string at the top level, before its ':'
  std::string_view currentKey;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const auto start = i;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (depth == 1) keyCandidate = text.substr(start, std::min(i + 1, text.size()) - start);
      continue;
    }
    if (c == ':') {
      if (depth == 1 && keyCandidate) currentKey = *keyCandidate;
      keyCandidate.reset();
      continue;
    }
    if (isBlank(c)) continue;
    keyCandidate.reset();
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      auto end = i;
      while (end < text.size() &&
             std::string_view("0123456789+-.eE").find(text[end]) != std::string_view::npos) {
        ++end;
      }
      const auto token = text.substr(i, end - i);
      const bool separateBefore = i == 0 || isBlank(text[i - 1]) ||
                                  std::string_view(",:[{").find(text[i - 1]) != std::string_view::npos;
      const bool separateAfter = end == text.size() || isBlank(text[end]) ||
                                 std::string_view(",]}").find(text[end]) != std::string_view::npos;
      if (separateBefore && separateAfter && isJSONNumber(token) && beyondDoubleRange(token)) {
        out.text.append(text.substr(copied, i - copied));
        out.text.append("null");
        copied = end;
        const auto shift = static_cast<std::ptrdiff_t>(copied) - static_cast<std::ptrdiff_t>(out.text.size());
        out.shifts.emplace_back(out.text.size(), shift);
        if (++out.count <= namedNumbers) {
          std::string key;
          if (depth >= 1 && !currentKey.empty()) {
            const auto decoded = UserDefaults::Value::parse(currentKey, nullptr, false);
            key = decoded.is_string() ? decoded.get<std::string>() : std::string(currentKey);
          }
          out.numbers.push_back({shortened(key, longestNamedText), shortened(token, longestNamedText)});
        }
      }
      i = end - 1;
    }
  }
  out.text.append(text.substr(std::min(copied, text.size())));
  return out;
}

std::string describeOutOfRangeNumbers(const NulledText& nulled) {
  std::string text;
  for (const auto& number : nulled.numbers) {
    if (!text.empty()) text += "; ";
    text += number.key.empty() ? fmt::format("the number {} is beyond the range of a double", number.number)
                               : fmt::format("\"{}\" holds {}, a number beyond the range of a double",
                                             number.key, number.number);
  }
  if (nulled.count > nulled.numbers.size()) {
    text += fmt::format("; and {} more such numbers", nulled.count - nulled.numbers.size());
  }
  return text + (nulled.count == 1 ? "; it reads as no value" : "; they read as no value");
}

}  // namespace vantrel

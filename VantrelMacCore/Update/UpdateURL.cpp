#include "Update/UpdateURL.hpp"

#include <cctype>

namespace vantrel {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=': return true;
    default: return false;
  }
}

// True when every character is unreserved, a sub-delimiter, one of `extra`, or a well-formed
// percent escape.
bool isEncodedText(std::string_view s, std::string_view extra) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
      i += 2;
      continue;
    }
    if (isUnreserved(c) || isSubDelim(c) || extra.find(c) != std::string_view::npos) continue;
    return false;
  }
  return true;
}

std::optional<std::string_view> schemeOf(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const auto candidate = text.substr(0, colon);
  if (!isAlpha(candidate.front())) return std::nullopt;
  for (char c : candidate) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  return candidate;
}

bool parsePort(std::string_view text, std::optional<std::uint16_t>& port) {
  if (text.empty()) return true;  // "host:" names the default port
  if (text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool parseAuthority(std::string_view authority, UpdateURL& url) {
  const auto at = authority.find('@');
  if (at != std::string_view::npos) {
    if (authority.find('@', at + 1) != std::string_view::npos) return false;
    const auto userInfo = authority.substr(0, at);
    if (!isEncodedText(userInfo, ":")) return false;
    const auto colon = userInfo.find(':');
    url.user = std::string(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) url.password = std::string(userInfo.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  std::string_view host;
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos || close < 2) return false;
    for (char c : authority.substr(1, close - 1)) {
      if (!isHex(c) && c != ':' && c != '.') return false;
    }
    host = authority.substr(0, close + 1);
    rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
  } else {
    const auto colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) rest = authority.substr(colon);
    if (!isEncodedText(host, "")) return false;
  }
  if (!rest.empty() && !parsePort(rest.substr(1), url.port)) return false;
  url.host = std::string(host);
  return true;
}

}  // namespace

std::optional<UpdateURL> UpdateURL::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F) return std::nullopt;
  }
  UpdateURL url;
  url.absoluteString = std::string(text);
  std::string_view rest = text;

  const auto hash = rest.find('#');
  if (hash != std::string_view::npos) {
    const auto fragment = rest.substr(hash + 1);
    if (!isEncodedText(fragment, ":@/?")) return std::nullopt;
    url.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  const auto question = rest.find('?');
  if (question != std::string_view::npos) {
    const auto query = rest.substr(question + 1);
    if (!isEncodedText(query, ":@/?")) return std::nullopt;
    url.query = std::string(query);
    rest = rest.substr(0, question);
  }
  if (const auto scheme = schemeOf(rest)) {
    url.scheme = std::string(*scheme);
    rest = rest.substr(scheme->size() + 1);
  }
  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    const auto slash = rest.find('/');
    if (!parseAuthority(rest.substr(0, slash), url)) return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  if (!isEncodedText(rest, ":@/")) return std::nullopt;
  url.path = std::string(rest);
  return url;
}

}  // namespace vantrel

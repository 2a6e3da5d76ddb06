#include "Account/StartupLoginIntent.hpp"

#include "Support/Text.hpp"

namespace vantrel::StartupLoginIntent {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecoded(std::string_view encoded) {
  std::string out;
  out.reserve(encoded.size());
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (i + 2 >= encoded.size()) return std::nullopt;
    const int high = hexValue(encoded[i + 1]);
    const int low = hexValue(encoded[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

// Removes "." and ".." components and a trailing "/", as a standardised file URL does.
std::string standardised(const std::string& path) {
  auto normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

}  // namespace

std::optional<std::string> filePath(std::string_view url) {
  constexpr std::string_view scheme = "file:";
  if (url.size() < scheme.size() || !text::caseInsensitiveEquals(url.substr(0, scheme.size()), scheme)) {
    return std::nullopt;
  }
  if (url.find('?') != std::string_view::npos || url.find('#') != std::string_view::npos) return std::nullopt;
  auto rest = url.substr(scheme.size());
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    const auto host = rest.substr(0, slash);
    if (!host.empty() && !text::caseInsensitiveEquals(host, "localhost")) return std::nullopt;
    if (slash == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(slash);
  }
  if (!rest.starts_with('/')) return std::nullopt;
  auto decoded = percentDecoded(rest);
  if (!decoded || decoded->find('\0') != std::string::npos || !text::isValidUTF8(*decoded))
    return std::nullopt;
  return decoded;
}

bool accepts(const std::vector<std::string>& urls,
             const std::optional<std::filesystem::path>& resourceDirectory) {
  if (urls.size() != 1 || !resourceDirectory || resourceDirectory->empty()) return false;
  const auto path = filePath(urls.front());
  if (!path) return false;
  const auto expected = (*resourceDirectory / std::string(resourceName)).string();
  return text::nfc(standardised(*path)) == text::nfc(standardised(expected));
}

bool requestedByArguments(const std::vector<std::string>& arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (text::caseInsensitiveEquals(arguments[i], "ALogin") ||
        text::caseInsensitiveEquals(arguments[i], "--auto-login")) {
      return true;
    }
  }
  return false;
}

}  // namespace vantrel::StartupLoginIntent

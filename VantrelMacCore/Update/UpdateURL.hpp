#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// A URL split into its RFC 3986 parts. Every optional part tells "absent" from "present but
// empty": "https://h/?" has an empty query, "https://h/" has none; "https://@h/" has an empty
// user. Texts are kept as written (no case folding, no percent decoding).
struct UpdateURL {
  std::optional<std::string> scheme;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> host;  // "[::1]" keeps its brackets
  std::optional<std::uint16_t> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
  std::string absoluteString;  // the text that was parsed

  // Parses strictly: nullopt for an empty text, blanks, control or non-ASCII characters,
  // characters outside the URI grammar, a bad percent escape, a malformed IP literal, more than
  // one "@" in the authority, or a port that is not a decimal number up to 65535.
  static std::optional<UpdateURL> parse(std::string_view text);

  friend bool operator==(const UpdateURL&, const UpdateURL&) = default;
};

}  // namespace vantrel

#pragma once

// The appcast: an RSS 2.0 document whose items name a build, a display version and a signed
// archive (format in docs/update-feed.md).

#include <cstdint>
#include <optional>
#include <string_view>

#include "Platform/Update/UpdateFramework.hpp"

namespace vantrel::update_appcast {

inline constexpr const char* namespaceURI = "urn:vantrel:update:1";
inline constexpr std::uint64_t maximumArchiveSize = 512ull * 1024 * 1024;

// The item with the highest build above `runningBuild`, or nullopt when none is newer. Items
// with a malformed build, length, signature or address are ignored. Throws `UpdaterError`
// (feedMalformed) for a document that is not well-formed XML, declares a DOCTYPE or an
// entity, or is not an RSS channel.
std::optional<AppcastItem> newestItem(std::string_view document, std::uint64_t runningBuild);

}  // namespace vantrel::update_appcast

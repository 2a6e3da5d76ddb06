#pragma once

// Helpers for tests of the session's file components against real temporary folders.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "Support/Bytes.hpp"

namespace vantrel::testing {

// `count` bytes of a pattern that does not repeat at any power-of-two or 60,000-byte period,
// seeded so that two files of the same size differ.
Bytes patternBytes(std::size_t count, std::uint32_t seed = 1);

void writeFile(const std::filesystem::path& path, ByteView bytes);
void writeFile(const std::filesystem::path& path, std::string_view text);
Bytes readFile(const std::filesystem::path& path);
// Sets the modification time (seconds since 1970, UTC) without following a link.
void setModificationTime(const std::filesystem::path& path, std::time_t seconds);
// Every name directly inside a folder.
std::set<std::string> namesIn(const std::filesystem::path& folder);

// Runs `body` on a thread of its own that has given up the capabilities which let root ignore
// file permissions, so that a folder with mode 000 really cannot be read even when the tests
// run as root. Rethrows what `body` throws.
void runWithoutPermissionOverride(const std::function<void()>& body);

// Sets TZ for the lifetime of the object and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool hadValue_ = false;
  std::string previous_;
};

}  // namespace vantrel::testing

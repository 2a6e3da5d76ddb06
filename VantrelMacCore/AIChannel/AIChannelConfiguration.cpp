#include "AIChannel/AIChannelConfiguration.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Support/JSONNesting.hpp"
#include "Support/Paths.hpp"

namespace vantrel {
namespace {

std::optional<std::vector<std::string>> stringList(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> result;
  result.reserve(value.size());
  for (const auto& item : value) {
    if (!item.is_string()) return std::nullopt;
    result.push_back(item.get<std::string>());
  }
  return result;
}

// Reads at most `limit` + 1 bytes of a regular file; nullopt when it is missing, not a regular
// file or larger than `limit`. Opening without blocking keeps a FIFO from hanging the caller.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > limit) return std::nullopt;
  std::string content(limit + 1, '\0');
  std::size_t total = 0;
  while (total < content.size()) {
    const auto n = ::read(fd, content.data() + total, content.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total > limit) return std::nullopt;  // grew while being read
  content.resize(total);
  return content;
}

}  // namespace

std::filesystem::path AIChannelConfiguration::applicationSupportDirectory(
    std::optional<std::string_view> bundleIdentifier) {
  const bool ownIdentifier = !bundleIdentifier || *bundleIdentifier == defaultBundleIdentifier;
  return paths::applicationSupportDirectory(ownIdentifier ? std::string_view("VantrelMac")
                                                          : *bundleIdentifier);
}

std::optional<AIChannelConfiguration> AIChannelConfiguration::decode(std::string_view json) {
  if (!jsonNestingWithin(json)) return std::nullopt;
  const auto document = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return std::nullopt;
  const auto field = [&](const char* key) -> const nlohmann::json* {
    const auto it = document.find(key);
    return it == document.end() ? nullptr : &*it;
  };
  const auto* enabled = field("enabled");
  const auto* roots = field("allowedRoots");
  const auto* shell = field("allowShell");
  const auto* managers = field("allowedManagers");
  if (!enabled || !roots || !shell || !managers) return std::nullopt;
  if (!enabled->is_boolean() || !shell->is_boolean()) return std::nullopt;
  auto rootList = stringList(*roots);
  auto managerList = stringList(*managers);
  if (!rootList || !managerList) return std::nullopt;
  return AIChannelConfiguration{enabled->get<bool>(), std::move(*rootList), shell->get<bool>(),
                                std::move(*managerList)};
}

AIChannelConfiguration AIChannelConfiguration::load(std::optional<std::string_view> bundleIdentifier) {
  try {
    const auto path = applicationSupportDirectory(bundleIdentifier) / fileName;
    const auto content = readSmallRegularFile(path, maximumFileSize);
    if (!content) return {};
    if (auto decoded = decode(*content)) return std::move(*decoded);
  } catch (...) {
    // Never fails: any trouble reading the file gives the default.
  }
  return {};
}

}  // namespace vantrel

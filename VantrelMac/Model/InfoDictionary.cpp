#include "InfoDictionary.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> readSmallFile(const fs::path& path, std::size_t limit) {
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
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total > limit) return std::nullopt;
  content.resize(total);
  return content;
}

}  // namespace

InfoDictionary::InfoDictionary() : values_(Value::object()) {}

InfoDictionary::InfoDictionary(Value object) : values_(std::move(object)) {
  if (!values_.is_object()) values_ = Value::object();
}

InfoDictionary::InfoDictionary(std::initializer_list<std::pair<const std::string, Value>> entries)
    : values_(Value::object()) {
  for (const auto& [key, value] : entries) values_[key] = value;
}

std::optional<InfoDictionary> InfoDictionary::load(const std::filesystem::path& file) {
  const auto text = readSmallFile(file, maximumFileSize);
  if (!text) return std::nullopt;
  auto parsed = Value::parse(*text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return InfoDictionary(std::move(parsed));
}

std::filesystem::path InfoDictionary::mainFile() {
  std::error_code ec;
  const auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto beside = exe.parent_path() / fileName;
    if (fs::exists(beside, ec)) return beside;
  }
  return paths::bundleResourcesDirectory() / fileName;
}

const InfoDictionary& InfoDictionary::main() {
  static const InfoDictionary instance = [] {
    const auto file = mainFile();
    if (auto loaded = load(file)) return std::move(*loaded);
    SystemLog("local.vantrel.VantrelMac", "app")
        .error("program information {} could not be read; using an empty dictionary", file.string());
    return InfoDictionary();
  }();
  return instance;
}

std::optional<InfoDictionary::Value> InfoDictionary::object(std::string_view key) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

std::optional<std::string> InfoDictionary::string(std::string_view key) const {
  const auto it = values_.find(key);
  if (it == values_.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> InfoDictionary::boolean(std::string_view key) const {
  const auto it = values_.find(key);
  if (it == values_.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::string InfoDictionary::bundleIdentifier() const {
  auto identifier = string(bundleIdentifierKey);
  if (!identifier || identifier->empty()) return std::string(defaultBundleIdentifier);
  return std::move(*identifier);
}

}  // namespace vantrel

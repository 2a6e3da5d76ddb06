#include "Model/Settings/InfoDictionary.hpp"

#include <fstream>
#include <iterator>

#include "Support/JSONNesting.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// The whole file when it is a regular file of at most `limit` bytes (a pipe is never opened).
std::optional<std::string> readSmallFile(const fs::path& path, std::size_t limit) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) > limit || ec) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string content(std::istreambuf_iterator<char>(in), {});
  if (!in.good() && !in.eof()) return std::nullopt;
  if (content.size() > limit) return std::nullopt;
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
  if (!text || !jsonNestingWithin(*text)) return std::nullopt;
  auto parsed = Value::parse(*text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return InfoDictionary(std::move(parsed));
}

std::filesystem::path InfoDictionary::mainFile() {
  std::error_code ec;
  const auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto beside = exe.parent_path() / fileName;
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

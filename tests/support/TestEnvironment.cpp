#include "support/TestEnvironment.hpp"

#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace vantrel::testing {
namespace {
std::filesystem::path makeTemporaryDirectory() {
  const auto base = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
  std::vector<char> buffer(base.begin(), base.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return std::filesystem::path(buffer.data());
}
}  // namespace

TemporaryHome::TemporaryHome() : path_(makeTemporaryDirectory()) {
  setEnv("HOME", path_.string());
  for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                           "XDG_RUNTIME_DIR", "VANTREL_SYSTEM_ROOT"}) {
    unsetEnv(name);
  }
}

TemporaryHome::~TemporaryHome() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TemporaryHome::remember(const std::string& name) {
  if (saved_.count(name)) return;
  const char* current = std::getenv(name.c_str());
  saved_[name] = current ? std::optional<std::string>(current) : std::nullopt;
}

void TemporaryHome::setEnv(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void TemporaryHome::unsetEnv(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
}

TemporaryDirectory::TemporaryDirectory() : path_(makeTemporaryDirectory()) {}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace vantrel::testing

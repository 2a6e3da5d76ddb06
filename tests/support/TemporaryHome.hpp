#pragma once

// A temporary HOME for tests that touch paths.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

// Points HOME, the XDG folders and VANTREL_SYSTEM_ROOT into a fresh temporary folder for as long
// as it lives.
class TemporaryHome {
 public:
  TemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME",
                             "VANTREL_SYSTEM_ROOT"}) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "home/.local/share").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root_ / "home/.local/state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "home/.config").c_str(), 1);
    ::setenv("VANTREL_SYSTEM_ROOT", (root_ / "system").c_str(), 1);
    std::filesystem::create_directories(root_ / "home");
  }
  ~TemporaryHome() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vantrel::testing

#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vantrel::testing {

// Points HOME, the XDG variables and VANTREL_SYSTEM_ROOT into a fresh temporary folder for the
// lifetime of the object, and removes the folder afterwards.
class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::filesystem::path& path() const noexcept { return root_; }

 private:
  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace vantrel::testing

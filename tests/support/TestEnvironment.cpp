#include "support/TestEnvironment.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

namespace vantrel::testing {
namespace {
// The runtime folders of the live TemporaryHome objects (never destroyed: a TemporaryHome of
// static storage may outlive any static of this file).
struct RuntimeFolders {
  std::mutex mutex;
  std::set<std::filesystem::path> live;
};
RuntimeFolders& runtimeFolders() {
  static auto* folders = new RuntimeFolders;
  return *folders;
}

std::filesystem::path makeTemporaryDirectory() {
  const auto base = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
  std::vector<char> buffer(base.begin(), base.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return std::filesystem::path(buffer.data());
}
// Tests may leave folders without write permission behind; give them back before removing.
void removeTree(const std::filesystem::path& root) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(root, ec);
}
}  // namespace

TemporaryHome::TemporaryHome()
    : root_(makeTemporaryDirectory()),
      home_(root_ / "home"),
      system_(root_ / "system"),
      runtime_(root_ / "run") {
  std::filesystem::create_directories(home_);
  std::filesystem::create_directories(system_);
  std::filesystem::create_directory(runtime_);
  std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  setEnv("HOME", home_.string());
  setEnv("XDG_DATA_HOME", (home_ / ".local/share").string());
  setEnv("XDG_CONFIG_HOME", (home_ / ".config").string());
  setEnv("XDG_STATE_HOME", (home_ / ".local/state").string());
  setEnv("XDG_CACHE_HOME", (home_ / ".cache").string());
  setEnv("VANTREL_SYSTEM_ROOT", system_.string());
  setEnv("XDG_RUNTIME_DIR", runtime_.string());
  const std::lock_guard lock(runtimeFolders().mutex);
  runtimeFolders().live.insert(runtime_.lexically_normal());
}

TemporaryHome::~TemporaryHome() {
  {
    const std::lock_guard lock(runtimeFolders().mutex);
    runtimeFolders().live.erase(runtime_.lexically_normal());
  }
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  removeTree(root_);
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

void registerPrivateRuntimeFolder(const std::filesystem::path& folder) {
  const std::lock_guard lock(runtimeFolders().mutex);
  runtimeFolders().live.insert(folder.lexically_normal());
}

void unregisterPrivateRuntimeFolder(const std::filesystem::path& folder) {
  const std::lock_guard lock(runtimeFolders().mutex);
  runtimeFolders().live.erase(folder.lexically_normal());
}

bool isPrivateRuntimeFolder(const std::filesystem::path& folder) {
  {
    const std::lock_guard lock(runtimeFolders().mutex);
    if (runtimeFolders().live.count(folder.lexically_normal()) == 0) return false;
  }
  struct stat status {};
  return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & 07777) == 0700;
}

TemporaryDirectory::TemporaryDirectory() : path_(makeTemporaryDirectory()) {}

TemporaryDirectory::~TemporaryDirectory() { removeTree(path_); }

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name,
                                                     const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* current = std::getenv(name_.c_str())) saved_ = current;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace vantrel::testing

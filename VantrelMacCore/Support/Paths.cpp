#include "Support/Paths.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace vantrel::paths {
namespace {

namespace fs = std::filesystem;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// An XDG base directory: the variable when it is an absolute path, else the fallback.
fs::path xdg(const char* variable, const fs::path& fallback) {
  const auto value = env(variable);
  if (!value.empty() && value.front() == '/') return fs::path(value);
  return fallback;
}

fs::path configHome() { return xdg("XDG_CONFIG_HOME", home() / ".config"); }

// Reads one entry of ~/.config/user-dirs.dirs ("XDG_DOWNLOAD_DIR="$HOME/Downloads"").
fs::path userDir(const char* key, const char* fallbackName) {
  std::ifstream file(configHome() / "user-dirs.dirs");
  std::string line;
  const std::string prefix = std::string(key) + "=";
  while (std::getline(file, line)) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::string value = line.substr(prefix.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.rfind("$HOME", 0) == 0) {
      const auto rest = value.substr(5);
      return rest.empty() ? home() : home() / fs::path(rest).relative_path();
    }
    if (!value.empty() && value.front() == '/') return fs::path(value);
  }
  return home() / fallbackName;
}

}  // namespace

fs::path home() {
  const auto value = env("HOME");
  if (!value.empty()) return fs::path(value);
  return fs::path("/");
}

fs::path applicationSupportDirectory(std::string_view folder) {
  return xdg("XDG_DATA_HOME", home() / ".local" / "share") / std::string(folder);
}

fs::path logsDirectory() {
  return xdg("XDG_STATE_HOME", home() / ".local" / "state") / "VantrelMac" / "Logs";
}

fs::path userDefaultsFile(std::string_view bundleIdentifier) {
  return configHome() / std::string(bundleIdentifier) / "defaults.json";
}

fs::path systemRoot() {
  const auto value = env("VANTREL_SYSTEM_ROOT");
  if (!value.empty()) return fs::path(value);
  return fs::path("/");
}

fs::path systemConnectionFile() { return systemRoot() / "etc" / "VantrelMac" / "connection.json"; }

fs::path relaySocketPath(std::string_view machServiceName) {
  return systemRoot() / "run" / "VantrelMac" / (std::string(machServiceName) + ".sock");
}

fs::path downloadsDirectory() { return userDir("XDG_DOWNLOAD_DIR", "Downloads"); }

std::string defaultPasteDestination() {
  std::error_code ec;
  const auto downloads = downloadsDirectory();
  if (!downloads.empty() && fs::is_directory(downloads, ec)) return downloads.string();
  return home().string();
}
fs::path desktopDirectory() { return userDir("XDG_DESKTOP_DIR", "Desktop"); }
fs::path documentsDirectory() { return userDir("XDG_DOCUMENTS_DIR", "Documents"); }

fs::path bundleResourcesDirectory() {
  const auto override = env("VANTREL_RESOURCES");
  if (!override.empty()) return fs::path(override);
  std::error_code ec;
  const auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::path("share") / "VantrelMac";
  return resourcesDirectoryOf(exe);
}

fs::path resourcesDirectoryOf(const fs::path& executable) {
  // An installed build keeps its resources beside it (versions/<build>/share/VantrelMac); the
  // build tree has them one folder up.
  std::error_code ec;
  auto beside = executable.parent_path() / "share" / "VantrelMac";
  if (fs::is_directory(beside, ec)) return beside;
  return executable.parent_path().parent_path() / "share" / "VantrelMac";
}

}  // namespace vantrel::paths

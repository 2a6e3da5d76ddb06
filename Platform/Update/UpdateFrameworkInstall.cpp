#include "Platform/Update/UpdateFrameworkInstall.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Platform/Update/UpdateFramework.hpp"
#include "Support/Bytes.hpp"
#include "Support/JSONNesting.hpp"
#include "Support/Uuid.hpp"
#include "Update/UpdateConfiguration.hpp"

namespace vantrel::update_install {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void installFailed(const std::string& what, int code) {
  throw updater_errors::make(
      updater_errors::installFailed,
      fmt::format("The update could not be installed: {} ({}).", what, std::strerror(code)));
}

[[noreturn]] void refused(const std::string& why) {
  throw updater_errors::make(updater_errors::stagedBuildRefused, "The downloaded build was refused: " + why);
}

std::string randomSuffix() {
  Bytes bytes(6);
  secureRandomBytes(bytes.data(), bytes.size());
  return hexString(bytes);
}

void syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::optional<Layout> Layout::containing(const fs::path& executable) {
  const auto versionFolder = executable.parent_path();
  const auto versions = versionFolder.parent_path();
  if (executable.filename() != executableName || versions.filename() != "versions") return std::nullopt;
  Layout layout{versions.parent_path()};
  std::error_code error;
  if (!fs::is_symlink(fs::symlink_status(layout.current(), error))) return std::nullopt;
  return layout;
}

fs::path createStaging(const Layout& layout) {
  std::string path = (layout.versions() / ".staging-XXXXXX").string();
  if (!::mkdtemp(path.data()))
    installFailed("cannot create a staging folder in " + layout.versions().string(), errno);
  return path;
}

void validateStaged(const fs::path& staging, const std::string& build) {
  const int fd = ::open((staging / "Info.json").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) refused("it has no Info.json");
  struct stat info {};
  std::string text;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= 64 * 1024) {
    text.resize(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    while (filled < text.size()) {
      const auto n = ::read(fd, text.data() + filled, text.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    text.resize(filled);
  }
  ::close(fd);
  if (!jsonNestingWithin(text)) refused("its Info.json nests too deeply");
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) refused("its Info.json is not a JSON object");
  try {
    UpdateConfiguration configuration(json);
  } catch (const UpdateConfiguration::ValidationError& error) {
    refused(fmt::format("its update configuration is invalid ({})", error.caseName()));
  }
  if (update_info::text(json, "CFBundleVersion") != build) refused("its build is not " + build);
  struct stat program {};
  if (::lstat((staging / executableName).c_str(), &program) != 0 || !S_ISREG(program.st_mode) ||
      (program.st_mode & S_IXUSR) == 0) {
    refused("it has no executable VantrelMac");
  }
}

fs::path install(const Layout& layout, const fs::path& staging, const std::string& build) {
  const auto target = layout.versions() / build;
  std::error_code error;
  // A leftover folder of the same build (an earlier, interrupted attempt) is moved aside first,
  // unless it is the one `current` runs.
  if (fs::exists(fs::symlink_status(target, error))) {
    if (fs::equivalent(target, layout.current(), error)) {
      removeTree(staging);
      installFailed("build " + build + " is already the current version", EEXIST);
    }
    const auto aside = layout.versions() / (".replaced-" + build + "-" + randomSuffix());
    if (::rename(target.c_str(), aside.c_str()) != 0) {
      const int code = errno;
      removeTree(staging);
      installFailed("cannot move the old " + target.string() + " aside", code);
    }
    removeTree(aside);
  }
  // The staging folder was made private while it filled; the version folder gets the mode the
  // first installation gave its own (the package's 0755).
  if (::chmod(staging.c_str(), versionFolderMode) != 0) {
    const int code = errno;
    removeTree(staging);
    installFailed("cannot set the mode of the staged build", code);
  }
  const auto previous = currentBuild(layout);
  if (::rename(staging.c_str(), target.c_str()) != 0) {
    const int code = errno;
    removeTree(staging);
    installFailed("cannot move the staged build into place", code);
  }
  const auto link = layout.root / (".current-" + randomSuffix());
  if (::symlink(("versions/" + build).c_str(), link.c_str()) != 0) {
    const int code = errno;
    removeTree(target);
    installFailed("cannot create the new link in " + layout.root.string(), code);
  }
  if (::rename(link.c_str(), layout.current().c_str()) != 0) {
    const int code = errno;
    ::unlink(link.c_str());
    removeTree(target);
    installFailed("cannot switch " + layout.current().string(), code);
  }
  std::set<std::string> keep{build};
  if (previous) keep.insert(*previous);
  // The running program's own folder stays too, should it not be the one `current` named.
  std::error_code selfError;
  const auto self = fs::read_symlink("/proc/self/exe", selfError);
  if (!selfError && self.parent_path().parent_path() == layout.versions()) {
    keep.insert(self.parent_path().filename().string());
  }
  pruneVersions(layout, keep);
  syncFolder(layout.versions());
  syncFolder(layout.root);
  return layout.currentExecutable();
}

std::optional<std::string> currentBuild(const Layout& layout) {
  std::error_code error;
  const auto target = fs::read_symlink(layout.current(), error);
  if (error || target.parent_path() != "versions" || target.filename().empty()) return std::nullopt;
  return target.filename().string();
}

void pruneVersions(const Layout& layout, const std::set<std::string>& keep) {
  std::error_code error;
  for (fs::directory_iterator it(layout.versions(), error), end; !error && it != end; it.increment(error)) {
    const auto name = it->path().filename().string();
    // Hidden entries are staging and replaced folders of an attempt; builds never start with ".".
    if (name.empty() || name.front() == '.' || keep.count(name) != 0) continue;
    std::error_code kind;
    if (it->symlink_status(kind).type() == fs::file_type::directory) removeTree(it->path());
  }
}

void removeTree(const fs::path& path) noexcept {
  std::error_code error;
  fs::remove_all(path, error);  // never follows symbolic links
}

}  // namespace vantrel::update_install

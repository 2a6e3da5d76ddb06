#pragma once

// The versioned install layout and its atomic switch:
//   <root>/versions/<build>/{VantrelMac, Info.json, share/...}
//   <root>/current -> versions/<build>
// An update is staged in <root>/versions/.staging-XXXXXX (same file system), checked, renamed
// to versions/<build>, and `current` is replaced by one rename of a new symbolic link. The
// previous version stays in place (the running program may still use it); older ones go.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace vantrel::update_install {

inline constexpr const char* executableName = "VantrelMac";

struct Layout {
  std::filesystem::path root;

  std::filesystem::path versions() const { return root / "versions"; }
  std::filesystem::path current() const { return root / "current"; }
  std::filesystem::path currentExecutable() const { return current() / executableName; }

  // The layout that holds `executable` (a resolved path such as /proc/self/exe's target):
  // <root>/versions/<build>/VantrelMac with <root>/current a symbolic link. Nullopt otherwise
  // (a build tree, a copied binary).
  static std::optional<Layout> containing(const std::filesystem::path& executable);
};

// A fresh private staging folder in <root>/versions. Throws `UpdaterError` (installFailed).
std::filesystem::path createStaging(const Layout& layout);

// Checks a staged build: "Info.json" is a small regular JSON object that passes the update
// configuration and names `build` as "CFBundleVersion", and "VantrelMac" is an executable
// regular file. Throws `UpdaterError` (stagedBuildRefused).
void validateStaged(const std::filesystem::path& staging, const std::string& build);

// The mode of a version folder, as the package installs its first one.
inline constexpr mode_t versionFolderMode = 0755;

// Moves the staged build to versions/<build> (mode `versionFolderMode`), switches `current` to
// it and removes every other version but the one `current` named before and the running
// program's. On failure `current` is untouched and the staged build is removed. Throws
// `UpdaterError` (installFailed). Returns the new program's path through `current`.
std::filesystem::path install(const Layout& layout, const std::filesystem::path& staging,
                              const std::string& build);

// The build `current` names ("versions/<build>"), if it is such a link.
std::optional<std::string> currentBuild(const Layout& layout);

// Removes each version folder whose build is not in `keep` (best effort). Hidden entries and
// anything that is not a folder are left alone.
void pruneVersions(const Layout& layout, const std::set<std::string>& keep);

// Removes a folder tree without following links (best effort).
void removeTree(const std::filesystem::path& path) noexcept;

}  // namespace vantrel::update_install

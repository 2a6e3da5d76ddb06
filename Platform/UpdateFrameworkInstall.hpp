#pragma once

// The versioned install layout and its atomic switch:
//   <root>/versions/<build>/{VantrelMac, Info.json, share/...}
//   <root>/current -> versions/<build>
// An update is staged in <root>/versions/.staging-XXXXXX (same file system), checked, renamed
// to versions/<build>, and `current` is replaced by one rename of a new symbolic link. The
// previous version stays in place.

#include <filesystem>
#include <optional>
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

// Moves the staged build to versions/<build> and switches `current` to it. On failure
// `current` is untouched and the staged build is removed. Throws `UpdaterError`
// (installFailed). Returns the new program's path through `current`.
std::filesystem::path install(const Layout& layout, const std::filesystem::path& staging,
                              const std::string& build);

// Removes a folder tree without following links (best effort).
void removeTree(const std::filesystem::path& path) noexcept;

}  // namespace vantrel::update_install

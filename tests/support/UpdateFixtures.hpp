#pragma once

// Test material for the updater: signing keys, program information, appcasts, signed feeds,
// tar.gz archives (well-formed builds and hostile ones) and versioned install roots.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Support/Bytes.hpp"
#include "Update/UpdateConfiguration.hpp"

namespace vantrel::testing {

struct UpdateKeys {
  Bytes privateKey;
  Bytes publicKey;
  std::string publicKeyBase64() const;
  static UpdateKeys generate();
};

// A complete Info.json for `build` whose feed is `feedURL`.
UpdateInfo updateInfo(const std::string& build, const UpdateKeys& keys, const std::string& feedURL,
                      bool rehearsal = true);

struct AppcastEntry {
  std::string version;
  std::string shortVersion;
  std::optional<std::string> url;
  std::optional<std::string> length;
  std::optional<std::string> signature;
};
std::string appcastXML(const std::vector<AppcastEntry>& entries, const std::string& extraProlog = "");
// An entry for an archive's bytes signed with `keys`.
AppcastEntry appcastEntry(const std::string& version, const std::string& url, const std::string& archive,
                          const UpdateKeys& keys);

struct ArchiveMember {
  enum class Type { file, folder, symlink, hardlink, characterDevice, fifo };
  std::string name;
  Type type = Type::file;
  std::string content;
  mode_t mode = 0644;
  std::string linkTarget;
};
// A gzip-compressed tar (pax) of the members, in order.
std::string tarGz(const std::vector<ArchiveMember>& members);
// A build's archive: VantrelMac (an executable script), Info.json and a resource file.
std::string buildArchive(const UpdateInfo& info, const std::string& program = "#!/bin/sh\nexit 0\n");
// Bytes that do not compress (the same for the same size), so that an archive of them is as large
// as they are: a download long enough to show its progress.
std::string incompressibleBytes(std::size_t size);

// <root>/versions/<build>/{VantrelMac, Info.json} with <root>/current -> versions/<build>.
void makeInstallRoot(const std::filesystem::path& root, const std::string& build, const UpdateInfo& info);

std::string readText(const std::filesystem::path& file);
void writeText(const std::filesystem::path& file, const std::string& text);

}  // namespace vantrel::testing

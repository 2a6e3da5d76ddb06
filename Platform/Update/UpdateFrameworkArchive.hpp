#pragma once

// Safe extraction of an update archive (tar, gzip-compressed) into an empty staging folder:
// only regular files and folders, relative names without "..", no set-uid/set-gid/sticky
// bits, bounded entry count and size. Everything is created relative to the staging folder's
// descriptor and never through a symbolic link.

#include <cstddef>
#include <cstdint>

namespace vantrel::update_archive {

struct Limits {
  std::size_t maximumEntries = 10'000;
  std::uint64_t maximumTotalBytes = 1ull << 30;
  std::size_t maximumPathLength = 1024;
};

// Reads the archive from `archiveFd` (at its current offset) into the folder `stagingFd`.
// Throws `UpdaterError` (archiveRefused) naming the first refused entry, or (installFailed)
// "… the archive is damaged" when its bytes do not read as a gzip-compressed tar; what was
// written so far stays for the caller to remove with the staging folder.
void extract(int archiveFd, int stagingFd, const Limits& limits = {});

}  // namespace vantrel::update_archive

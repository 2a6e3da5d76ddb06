#pragma once

// The two file stages of an update between the feed and the install: the archive downloaded into
// a private file and checked against its signature, then unpacked and checked in a staging
// folder. Both block (disk and network) and run on the blocking pool.

#include <filesystem>
#include <memory>

#include "Platform/Update/UpdateFrameworkAppcast.hpp"
#include "Platform/Update/UpdateFrameworkArchive.hpp"
#include "Platform/Update/UpdateFrameworkInstall.hpp"
#include "Platform/Update/UpdateFrameworkTransfer.hpp"
#include "Support/Bytes.hpp"

namespace vantrel::update_staging {

// An open descriptor shared between the stages of one download.
struct OpenFile {
  int fd = -1;
  OpenFile() = default;
  explicit OpenFile(int descriptor) : fd(descriptor) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();
};

// Downloads the archive into an unnamed-after-use private file in `folder` and verifies its
// signature. The file's name is removed before this returns, so no failure leaves a file behind.
std::shared_ptr<OpenFile> downloadVerified(const std::filesystem::path& folder, const AppcastItem& item,
                                           ByteView publicKey, const update_transfer::Policy& policy,
                                           update_transfer::Control& control);

// Unpacks the verified download into a new staging folder of `layout` and checks the staged
// build's version; the staging folder is removed again on any failure.
std::filesystem::path extractVerified(const update_install::Layout& layout, const OpenFile& file,
                                      const AppcastItem& item, const update_archive::Limits& limits);

}  // namespace vantrel::update_staging

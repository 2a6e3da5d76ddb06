#include "Platform/Update/UpdateFrameworkStaging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Support/Uuid.hpp"
#include "Update/UpdateEncoding.hpp"
#include "Update/UpdateResumeStore.hpp"

namespace vantrel::update_staging {

namespace fs = std::filesystem;

OpenFile::~OpenFile() {
  if (fd >= 0) ::close(fd);
}

// Opens the downloads folder after making sure it is a private folder of ours, and removes
// what earlier downloads left behind.
namespace {

int openDownloadsFolder(const fs::path& folder) {
  // Created private, parents included: the resume record shares the "Update" folder and needs
  // it to be 0700.
  try {
    createPrivateDirectories(folder);
  } catch (const UpdatePOSIXError&) {
  }
  std::error_code error;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700) {
    if (fd >= 0) ::close(fd);
    throw updater_errors::make(updater_errors::downloadFailed,
                               "The download folder " + folder.string() + " is not a private folder.");
  }
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".download") ::unlinkat(fd, entry.path().filename().c_str(), 0);
  }
  return fd;
}

}  // namespace

std::shared_ptr<OpenFile> downloadVerified(const fs::path& folder, const AppcastItem& item,
                                           ByteView publicKey, const update_transfer::Policy& policy,
                                           update_transfer::Control& control) {
  const int dir = openDownloadsFolder(folder);
  Bytes random(8);
  secureRandomBytes(random.data(), random.size());
  const auto name = "update-" + hexString(random) + ".download";
  auto file = std::make_shared<OpenFile>();
  file->fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file->fd < 0) {
    const int code = errno;
    ::close(dir);
    throw updater_errors::make(updater_errors::downloadFailed,
                               fmt::format("Cannot create the download file (errno {}).", code));
  }
  try {
    update_transfer::download(*item.fileURL, file->fd, item.length, policy, control);
  } catch (...) {
    ::unlinkat(dir, name.c_str(), 0);
    ::close(dir);
    throw;
  }
  ::unlinkat(dir, name.c_str(), 0);
  ::close(dir);
  const auto signature = update_encoding::decodeBase64(item.edSignature).value_or(Bytes{});
  if (!update_signature::verifyDescriptor(publicKey, file->fd, signature)) {
    throw updater_errors::make(updater_errors::archiveSignature,
                               "The update archive's signature is not valid.");
  }
  return file;
}

fs::path extractVerified(const update_install::Layout& layout, const OpenFile& file, const AppcastItem& item,
                         const update_archive::Limits& limits) {
  auto staging = update_install::createStaging(layout);
  try {
    const int stagingFd = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (stagingFd < 0)
      throw updater_errors::make(updater_errors::installFailed, "Cannot open the staging folder.");
    OpenFile stagingHolder(stagingFd);
    if (::lseek(file.fd, 0, SEEK_SET) != 0) {
      throw updater_errors::make(updater_errors::downloadFailed, "Cannot read the download.");
    }
    update_archive::extract(file.fd, stagingFd, limits);
    update_install::validateStaged(staging, item.versionString);
  } catch (...) {
    update_install::removeTree(staging);
    throw;
  }
  return staging;
}

}  // namespace vantrel::update_staging

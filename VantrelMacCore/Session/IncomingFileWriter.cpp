#include "Session/IncomingFileWriter.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>

#include <fmt/format.h>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Support/Text.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr const char* createFolderText = "Couldn\u2019t create the folder";
constexpr const char* writeFileText = "Couldn\u2019t write the file";
constexpr const char* saveFileText = "Couldn\u2019t save the file";
constexpr std::size_t maximumShownFolderBytes = 200;

// Refuses a file that would leave less than the reserve free on the file system of `fd` (or of
// `path`, when no descriptor is given), before anything of it is written.
void ensureRoom(int fd, const fs::path& path, std::int64_t announcedSize, const fs::path& shown) {
  struct statvfs info {};
  const int result = fd >= 0 ? ::fstatvfs(fd, &info) : ::statvfs(path.c_str(), &info);
  if (result != 0) return;  // unknown: the writes themselves will tell
  const auto available = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
  const auto needed = static_cast<unsigned long long>(announcedSize) +
                      static_cast<unsigned long long>(IncomingFileWriter::diskReserveBytes);
  if (needed > available) throw FileSystemError(writeFileText, shown.string(), ENOSPC);
}

// The deepest folder of `folder` that exists already (at worst "/").
fs::path nearestExistingFolder(fs::path folder) {
  std::error_code ec;
  while (folder.has_relative_path() && !fs::is_directory(folder, ec)) folder = folder.parent_path();
  return folder;
}

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::vector<std::string> nonEmptyComponents(std::string_view text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find('/', start);
    const auto part = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!part.empty()) parts.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// The permissions a newly created file gets in this process (0666 less the umask), read without
// changing the process-wide umask.
mode_t defaultFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 022;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Umask:", 0) == 0) {
        try {
          mask = static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        } catch (...) {
        }
        break;
      }
    }
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// Opens one folder inside `parent`, creating it when it is missing. Links are followed only
// where `followLinks` says so.
UniqueFd openOrCreateFolder(int parent, const std::string& name, bool followLinks,
                            const fs::path& shownPath) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  UniqueFd fd(::openat(parent, name.c_str(), flags));
  if (fd) return fd;
  if (errno != ENOENT) throw FileSystemError(createFolderText, shownPath.string(), errno);
  if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
    throw FileSystemError(createFolderText, shownPath.string(), errno);
  }
  fd = UniqueFd(::openat(parent, name.c_str(), flags));
  if (!fd) throw FileSystemError(createFolderText, shownPath.string(), errno);
  return fd;
}

std::string randomHex(std::size_t byteCount) {
  std::vector<std::uint8_t> bytes(byteCount);
  secureRandomBytes(bytes.data(), bytes.size());
  return hexStringLower(bytes);
}

}  // namespace

fs::path IncomingFileDestination::path() const {
  auto result = folder;
  for (const auto& part : subfolders) result /= part;
  return result / name;
}

IncomingFolderError::IncomingFolderError(std::string_view folder, Reason reason)
    : shownFolder_(text::loggable(folder, maximumShownFolderBytes)), reason_(reason) {}

std::optional<std::string> IncomingFolderError::errorDescription() const {
  if (reason_ == Reason::notUTF8) {
    return fmt::format(
        "The destination folder \u201C{}\u201D is not usable here: its name is not valid UTF-8.",
        shownFolder_);
  }
  return fmt::format(
      "The destination folder \u201C{}\u201D is not usable here: it is not an absolute path on this "
      "computer.",
      shownFolder_);
}

IncomingFileDestination safeDestination(const LegacyFileMetadata& record) {
  const auto& folder = record.destinationFolder;
  // A relative folder would resolve against the process's working directory.
  if (hasNul(folder) || hasNul(record.additionalFolder) || hasNul(record.filename)) {
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  // A folder that did not decode reads as empty; the message shows the bytes that came.
  if (!record.undecodableDestinationFolder.empty()) {
    throw IncomingFolderError(record.undecodableDestinationFolder, IncomingFolderError::Reason::notUTF8);
  }
  if (folder.empty() || folder.front() != '/') throw IncomingFolderError(folder);
  IncomingFileDestination destination;
  auto standardized = fs::path(folder).lexically_normal().string();
  while (standardized.size() > 1 && standardized.back() == '/') standardized.pop_back();
  destination.folder = standardized;

  std::string additional = record.additionalFolder;
  std::replace(additional.begin(), additional.end(), '\\', '/');
  for (auto& part : nonEmptyComponents(additional)) {
    if (part == "." || part == "..") continue;
    destination.subfolders.push_back(std::move(part));
  }

  const auto nameParts = nonEmptyComponents(record.filename);
  destination.name =
      nameParts.empty() ? std::string(IncomingFileDestination::fallbackName) : nameParts.back();
  // "." or ".." would name the folder itself or its parent instead of a file inside it.
  if (destination.name == "." || destination.name == "..") {
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  return destination;
}

IncomingFileWriter::~IncomingFileWriter() { abandon(); }

fs::path IncomingFileWriter::temporaryPath() const {
  if (!isOpen()) return {};
  return folderPath_ / temporaryName_;
}

void IncomingFileWriter::begin(const IncomingFileDestination& destination, std::int64_t announcedSize) {
  abandon();
  if (announcedSize < 0) throw LegacyClipboardCodecError::invalidEnvelope();
  if (destination.folder.empty() || !destination.folder.is_absolute()) {
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  const auto finalPath = destination.path();
  // Checked before any folder is made, and again on the folder itself (it may be a mount point).
  ensureRoom(-1, nearestExistingFolder(destination.folder), announcedSize, finalPath);

  // The named folder may pass through links (it is the manager's choice); the subfolders made
  // inside it never do, so nothing is written outside it.
  UniqueFd folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) throw FileSystemError(createFolderText, "/", errno);
  fs::path shown("/");
  for (const auto& part : destination.folder.relative_path()) {
    shown /= part;
    folder = openOrCreateFolder(folder.get(), part.string(), true, shown);
  }
  for (const auto& part : destination.subfolders) {
    shown /= part;
    folder = openOrCreateFolder(folder.get(), part, false, shown);
  }

  if (destination.name.size() > NAME_MAX) {
    throw FileSystemError(writeFileText, finalPath.string(), ENAMETOOLONG);
  }
  struct stat existing {};
  if (::fstatat(folder.get(), destination.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(existing.st_mode)) {
    // Found now rather than after the whole file has arrived.
    throw FileSystemError(writeFileText, finalPath.string(), EISDIR);
  }

  ensureRoom(folder.get(), {}, announcedSize, finalPath);

  UniqueFd file;
  std::string temporaryName;
  for (int attempt = 0; attempt < 16 && !file; ++attempt) {
    temporaryName = std::string(temporaryPrefix) + randomHex(8) + ".part";
    file = UniqueFd(::openat(folder.get(), temporaryName.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file && errno != EEXIST) {
      throw FileSystemError(writeFileText, finalPath.string(), errno);
    }
  }
  if (!file) throw FileSystemError(writeFileText, finalPath.string(), EEXIST);

  folder_ = std::move(folder);
  file_ = std::move(file);
  folderPath_ = shown;
  finalPath_ = finalPath;
  finalName_ = destination.name;
  temporaryName_ = std::move(temporaryName);
  received_ = 0;
  announcedSize_ = announcedSize;
}

void IncomingFileWriter::append(ByteView bytes) {
  if (!isOpen()) throw LegacyClipboardCodecError::invalidEnvelope();
  // received_ never exceeds announcedSize_, so the difference cannot overflow.
  const auto room = static_cast<std::uint64_t>(announcedSize_ - received_);
  if (static_cast<std::uint64_t>(bytes.size()) > room) {
    abandon();
    throw LegacyClipboardCodecError::valueTooLarge();
  }
  const auto* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const auto written = ::write(file_.get(), data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int code = written < 0 ? errno : EIO;
      const auto shown = finalPath_;
      abandon();
      throw FileSystemError(writeFileText, shown.string(), code);
    }
    data += written;
    left -= static_cast<std::size_t>(written);
    received_ += static_cast<std::int64_t>(written);
  }
}

void IncomingFileWriter::commit() {
  if (!isOpen()) throw LegacyClipboardCodecError::invalidEnvelope();
  if (received_ != announcedSize_) {
    abandon();
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  const auto shown = finalPath_;
  const auto fail = [&](int code) {
    abandon();
    throw FileSystemError(saveFileText, shown.string(), code);
  };
  // The temporary file was private while incomplete; the finished file gets the permissions any
  // new file of this user gets.
  if (::fchmod(file_.get(), defaultFileMode()) != 0) fail(errno);
  // Replacing an existing file: its data must be on disk before the rename, or a crash could
  // leave neither the old nor the new content. A new name risks nothing, so it is not flushed
  // (a flush per file would stall the session's strand on slow disks).
  struct stat existing {};
  if (::fstatat(folder_.get(), finalName_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      ::fdatasync(file_.get()) != 0) {
    fail(errno);
  }
  if (const int code = file_.close(); code != 0) fail(code);
  if (::renameat(folder_.get(), temporaryName_.c_str(), folder_.get(), finalName_.c_str()) != 0) {
    fail(errno);
  }
  clear();
}

void IncomingFileWriter::abandon() noexcept {
  if (folder_ && !temporaryName_.empty()) {
    file_.close();
    ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
  }
  clear();
}

void IncomingFileWriter::clear() noexcept {
  file_.close();
  folder_.close();
  folderPath_.clear();
  finalPath_.clear();
  finalName_.clear();
  temporaryName_.clear();
  received_ = 0;
  announcedSize_ = 0;
}

}  // namespace vantrel

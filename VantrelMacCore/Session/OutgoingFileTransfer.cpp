#include "Session/OutgoingFileTransfer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Session/FileTransferProgress.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace fs = std::filesystem;
namespace kinds = DirectAuthEventKinds;

namespace {

constexpr const char* readFolderText = "Couldn\u2019t read the folder";
constexpr const char* readFileText = "Couldn\u2019t read the file";

std::string standardizedText(const fs::path& path) {
  auto text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string parentText(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The folder a file travels in: its folder's path after `base`, without the slashes around it.
std::string relativeFolder(const std::string& folder, const std::string& base) {
  if (folder.compare(0, base.size(), base) != 0) return "";
  auto rest = folder.substr(base.size());
  const auto first = rest.find_first_not_of('/');
  if (first == std::string::npos) return "";
  const auto last = rest.find_last_not_of('/');
  return rest.substr(first, last - first + 1);
}

// The names in an open folder (without "." and ".."), sorted byte-wise so that a batch is sent
// in the same order every time. The descriptor stays with the caller.
std::vector<std::string> sortedNames(int folderFd, const std::string& shown) {
  auto names = folderEntryNames(folderFd, shown);
  std::sort(names.begin(), names.end());
  return names;
}

struct Walk {
  OutgoingFileBatch& batch;
  std::size_t limit;

  bool full() {
    if (batch.items.size() < limit) return false;
    batch.exceededLimit = true;
    return true;
  }

  void skip(const std::string& path, const std::exception& error) {
    batch.skipped.push_back({fs::path(path), localizedDescription(error)});
  }

  // Depth first: a subfolder's files come right where the subfolder stands among its siblings.
  void folder(int fd, const std::string& path, const std::string& base, int depth) {
    std::vector<std::string> names;
    try {
      names = sortedNames(fd, path);
    } catch (const FileSystemError& error) {
      skip(path, error);
      return;
    }
    for (const auto& name : names) {
      if (batch.exceededLimit) return;
      std::string childPath = path == "/" ? std::string() : path;
      childPath += '/';
      childPath += name;
      struct stat status {};
      // An item whose status cannot be read is left out, like one that vanished.
      if (::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISREG(status.st_mode)) {
        if (full()) return;
        batch.items.push_back({fs::path(childPath), relativeFolder(path, base)});
      } else if (S_ISDIR(status.st_mode)) {
        if (depth + 1 >= maximumOutgoingFolderDepth) {
          skip(childPath, FileSystemError(readFolderText, childPath, ENAMETOOLONG));
          continue;
        }
        UniqueFd child(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) {
          skip(childPath, FileSystemError(readFolderText, childPath, errno));
          continue;
        }
        folder(child.get(), childPath, base, depth + 1);
      }
    }
  }
};

}  // namespace

OutgoingFileError::OutgoingFileError(Case c, std::string path)
    : case_(c), path_(text::printableFileName(path)) {}

std::optional<std::string> OutgoingFileError::errorDescription() const {
  switch (case_) {
    case Case::notRegularFile:
      return fmt::format("\u201C{}\u201D is neither a folder nor a regular file.", path_);
    case Case::fileShrank:
      return fmt::format("The file \u201C{}\u201D became shorter while it was being sent.", path_);
    case Case::tooManyFiles: return std::string("Too many files to send at once.");
  }
  return std::nullopt;
}

OutgoingFileBatch expandedClipboardFiles(const std::vector<fs::path>& inputs, std::size_t limit) {
  OutgoingFileBatch batch;
  Walk walk{batch, limit};
  for (const auto& input : inputs) {
    if (batch.exceededLimit) break;
    const auto path = standardizedText(input);
    if (path.empty()) continue;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) continue;  // nothing there
    if (S_ISREG(status.st_mode)) {
      if (walk.full()) break;
      batch.items.push_back({fs::path(path), ""});
    } else if (S_ISDIR(status.st_mode)) {
      UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd) {
        walk.skip(path, FileSystemError(readFolderText, path, errno));
        continue;
      }
      walk.folder(fd.get(), path, parentText(path), 0);
    } else {
      walk.skip(path, OutgoingFileError::notRegularFile(path));
    }
  }
  return batch;
}

void OutgoingFileReader::open(const fs::path& path) {
  close();
  path_ = path;
  size_ = 0;
  delivered_ = 0;
  struct stat before {};
  if (::lstat(path.c_str(), &before) != 0) throw FileSystemError(readFileText, path.string(), errno);
  if (!S_ISREG(before.st_mode)) throw OutgoingFileError::notRegularFile(path.string());
  // Non-blocking, so that a FIFO swapped in after the lstat cannot hang the open.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw FileSystemError(readFileText, path.string(), errno);
  struct stat after {};
  if (::fstat(fd.get(), &after) != 0) throw FileSystemError(readFileText, path.string(), errno);
  if (!S_ISREG(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
    throw OutgoingFileError::notRegularFile(path.string());
  }
  fd_ = std::move(fd);
  size_ = static_cast<std::int64_t>(after.st_size);
}

Bytes OutgoingFileReader::readChunk() {
  if (!fd_) return {};
  const auto remaining = static_cast<std::uint64_t>(size_ - delivered_);
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, remaining));
  Bytes chunk(wanted);
  std::size_t filled = 0;
  while (filled < wanted) {
    const auto got = ::read(fd_.get(), chunk.data() + filled, wanted - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw FileSystemError(readFileText, path_.string(), errno);
    if (got == 0) throw OutgoingFileError::fileShrank(path_.string());
    filled += static_cast<std::size_t>(got);
  }
  delivered_ += static_cast<std::int64_t>(wanted);
  return chunk;
}

LegacyFileMetadata makeOutgoingFileRecord(const OutgoingFileItem& item, std::int64_t index,
                                          std::int64_t total, std::int64_t fileSize,
                                          const std::string& destinationFolder, std::uint16_t comNum) {
  LegacyFileMetadata record;
  record.comNum = static_cast<std::int32_t>(comNum);
  record.currentIndex = clampToInt32(index);
  record.total = clampToInt32(total);
  record.isClipboard = true;
  record.fileSize = fileSize;
  record.filename = text::nfc(text::printableFileName(item.path.filename().string()));
  record.destinationFolder = destinationFolder;
  record.additionalFolder = text::nfc(text::printableFileName(item.relativeFolder));
  return record;
}

namespace {

// Texts of the upload (docs/coroutine-rules.md, rule 5).
constexpr std::string_view uploadDirection = "upload";
constexpr std::uint8_t endMarkerByte = 0x31;  // "1"
constexpr std::string_view gateRefusedText = "Update installation in progress";
constexpr std::string_view nothingToSendText = "No readable local clipboard files";

[[gnu::noinline]] DirectAuthEvent::Kind transferFailed(std::string_view text) {
  return kinds::FileTransferFailed{std::string(text)};
}

[[gnu::noinline]] DirectAuthEvent::Kind transferFailedOwned(std::string text) {
  return kinds::FileTransferFailed{std::move(text)};
}

[[gnu::noinline]] DirectAuthEvent::Kind skippedEvent(const OutgoingFileSkip& skip) {
  // The reason names the item already.
  return kinds::Error{fmt::format("Not sent to the manager: {}", skip.reason)};
}

}  // namespace

Awaitable<void> sendOutgoingFiles(std::vector<fs::path> files, std::string destinationFolder,
                                  OutgoingFileUploadContext context) {
  const std::string direction(uploadDirection);
  ActivityLeaseGuard guard(context.gate->acquire(UpdateActivityGate::Kind::fileTransfer));
  if (!guard) {
    context.emit(transferFailed(gateRefusedText));
    co_return;
  }
  std::exception_ptr failure;
  try {
    const auto batch = expandedClipboardFiles(files);
    for (const auto& skip : batch.skipped) context.emit(skippedEvent(skip));
    if (batch.exceededLimit) throw OutgoingFileError::tooManyFiles();
    if (batch.items.empty()) {
      context.emit(transferFailed(nothingToSendText));
      co_return;
    }
    const auto total = static_cast<std::int64_t>(batch.items.size());
    context.emit(kinds::FileTransferStarted{direction, total});

    for (std::int64_t index = 0; index < total; ++index) {
      const auto& item = batch.items[static_cast<std::size_t>(index)];
      OutgoingFileReader reader;
      reader.open(item.path);
      const auto fileSize = reader.size();
      const auto record =
          makeOutgoingFileRecord(item, index, total, fileSize, destinationFolder, context.comNum).encode();
      if (!record) throw LegacyClipboardCodecError::valueTooLarge();
      co_await context.sendPayload(*record, outgoingFileInfoCommand);

      FileTransferProgressThrottle progress;
      while (true) {
        auto piece = reader.readChunk();
        if (piece.empty()) break;
        co_await checkCancellation();
        if (context.isCancelled && context.isCancelled()) throw CancellationError();
        co_await context.sendPayload(std::move(piece), outgoingFileDataCommand);
        const auto sent = reader.delivered();
        if (progress.shouldReport(sent, fileSize)) {
          context.emit(kinds::FileTransferProgress{direction, index + 1, total, sent, fileSize});
        }
      }
      co_await context.sendPayload(Bytes(1, endMarkerByte), outgoingFileEndCommand);
      reader.close();
    }
    context.emit(kinds::FileTransferCompleted{direction, total});
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) context.emit(transferFailedOwned(localizedDescription(failure)));
}

}  // namespace vantrel

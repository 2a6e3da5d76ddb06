#pragma once

// Sending Mac files to the manager: the walk that turns the chosen files and folders into the
// ordered list of files to send, the reader that yields one file in frame-sized pieces without
// ever passing the size announced for it, and the upload that sends record, data and end marker
// per file with the `fileTransfer` lease, progress and events.
//
// Only folders and regular files are sent: a FIFO or a device named by the manager would make an
// endless upload or block the session, so every item is checked with lstat before it is opened
// and with fstat after.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Activity/UpdateActivityGate.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/FileSystemError.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class OutgoingFileError : public Error {
 public:
  enum class Case { notRegularFile, fileShrank, tooManyFiles };

  static OutgoingFileError notRegularFile(std::string path) {
    return OutgoingFileError(Case::notRegularFile, std::move(path));
  }
  static OutgoingFileError fileShrank(std::string path) {
    return OutgoingFileError(Case::fileShrank, std::move(path));
  }
  static OutgoingFileError tooManyFiles() { return OutgoingFileError(Case::tooManyFiles, {}); }

  Case kind() const noexcept { return case_; }
  const std::string& path() const noexcept { return path_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.OutgoingFileError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const OutgoingFileError& a, const OutgoingFileError& b) {
    return a.case_ == b.case_ && a.path_ == b.path_;
  }

 private:
  OutgoingFileError(Case c, std::string path);
  Case case_;
  std::string path_;
};

// One file of a batch: where it is and the folder it travels in (the copied folder's name and the
// subfolders below it, "" for a file chosen by itself).
struct OutgoingFileItem {
  std::filesystem::path path;
  std::string relativeFolder;
  friend bool operator==(const OutgoingFileItem&, const OutgoingFileItem&) = default;
};

// Something the walk left out that the user should hear about: a folder it could not read, or a
// chosen item that is neither a folder nor a regular file.
struct OutgoingFileSkip {
  std::filesystem::path path;
  std::string reason;
  friend bool operator==(const OutgoingFileSkip&, const OutgoingFileSkip&) = default;
};

struct OutgoingFileBatch {
  std::vector<OutgoingFileItem> items;
  std::vector<OutgoingFileSkip> skipped;
  // The walk stopped at the file limit; such a batch is refused as a whole.
  bool exceededLimit = false;
};

// Record fields are 32-bit on the wire.
inline constexpr std::size_t maximumOutgoingBatchFiles = 2'147'483'647;
// Folders nested deeper than this are skipped (each open level holds a descriptor).
inline constexpr int maximumOutgoingFolderDepth = 256;

// The walk, for each input in order: nothing there → left out; a regular file → sent by itself;
// a folder → its regular files at every depth, depth first in name order within each folder,
// each with the copied folder's name and subfolders as its `relativeFolder`. Links are never
// followed; special files are left out (reported when chosen directly); a folder that cannot be
// read is skipped and reported, the walk goes on.
OutgoingFileBatch expandedClipboardFiles(const std::vector<std::filesystem::path>& inputs,
                                         std::size_t limit = maximumOutgoingBatchFiles);

// Reads one regular file in pieces of at most 60,000 bytes, never past the size it had when it
// was opened (the size the record announces). A file that ends before that size fails.
class OutgoingFileReader {
 public:
  static constexpr std::size_t chunkSize = 60'000;

  OutgoingFileReader() = default;
  // lstat before (a regular file, not a link), open without following links and without
  // blocking, fstat after (still a regular file, the same one). Throws `OutgoingFileError` or
  // `FileSystemError`.
  void open(const std::filesystem::path& path);

  std::int64_t size() const noexcept { return size_; }
  std::int64_t delivered() const noexcept { return delivered_; }
  bool isOpen() const noexcept { return static_cast<bool>(fd_); }

  // The next piece: min(60,000, what remains of the size) bytes; empty once the size has been
  // delivered. Throws `OutgoingFileError::fileShrank` when the file ends early and
  // `FileSystemError` for a failed read.
  Bytes readChunk();
  void close() noexcept { fd_.close(); }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
  std::int64_t size_ = 0;
  std::int64_t delivered_ = 0;
};

// The record announcing one file: names as printable UTF-8 in NFC, `isClipboard` true.
LegacyFileMetadata makeOutgoingFileRecord(const OutgoingFileItem& item, std::int64_t index,
                                          std::int64_t total, std::int64_t fileSize,
                                          const std::string& destinationFolder, std::uint16_t comNum);

// What an upload needs from its session.
struct OutgoingFileUploadContext {
  std::shared_ptr<UpdateActivityGate> gate;
  // The session's connection number, written into each record.
  std::uint16_t comNum = 0;
  // Sends one payload under a frame command as the session sends every payload (one timestamp,
  // one transport send, the session's comNum); throws what the sending throws.
  std::function<Awaitable<void>(Bytes payload, std::uint8_t command)> sendPayload;
  // Emits one session event.
  std::function<void(DirectAuthEvent::Kind)> emit;
  // Optional: the session's own cancellation flag for the running task, checked between pieces
  // together with the coroutine's cancellation state.
  std::function<bool()> isCancelled;
};

inline constexpr std::uint8_t outgoingFileInfoCommand = 10;
inline constexpr std::uint8_t outgoingFileDataCommand = 12;
inline constexpr std::uint8_t outgoingFileEndCommand = 15;

// Uploads a batch to the manager's `destinationFolder`: lease, walk, started event, per file the
// record (command 10), the data (command 12, one frame per piece, progress per 1 MiB and at the
// end) and the end marker (command 15, the byte "1"), then the completed event. Never throws:
// every failure ends the batch with one `fileTransferFailed` event, and the lease ends on every
// path. Skipped folders and items are reported as `error` events before the batch starts.
Awaitable<void> sendOutgoingFiles(std::vector<std::filesystem::path> files, std::string destinationFolder,
                                  OutgoingFileUploadContext context);

}  // namespace vantrel

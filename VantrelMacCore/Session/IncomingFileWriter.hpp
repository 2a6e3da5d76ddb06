#pragma once

// Writing one file that the manager sends, safely: the destination is checked so that nothing
// lands outside the folder the record names, the bytes go into a private temporary file in the
// destination folder, and only a file whose announced size has arrived complete replaces the
// final name. A transfer that fails, is cancelled, superseded or cut off leaves any existing
// file of that name untouched and no temporary file behind.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/FileSystemError.hpp"
#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// Where one incoming file goes: `folder` (absolute, standardised, as the record names it), the
// `subfolders` created inside it, and the file `name`.
struct IncomingFileDestination {
  static constexpr std::string_view fallbackName = "Vantrel-file";

  std::filesystem::path folder;
  std::vector<std::string> subfolders;
  std::string name;

  std::filesystem::path path() const;
  friend bool operator==(const IncomingFileDestination&, const IncomingFileDestination&) = default;
};

// A destination folder that names no folder of this computer: empty, relative, another system's
// path such as "C:\\Downloads", or bytes that are not valid UTF-8. The folder is shown escaped and
// shortened.
class IncomingFolderError : public Error {
 public:
  enum class Reason { notAbsolute, notUTF8 };

  explicit IncomingFolderError(std::string_view folder, Reason reason = Reason::notAbsolute);

  const std::string& shownFolder() const noexcept { return shownFolder_; }
  Reason reason() const noexcept { return reason_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.IncomingFolderError"; }

 private:
  std::string shownFolder_;
  Reason reason_;
};

// The destination of a record. The name is the last non-empty "/" component of the filename (a
// backslash is an ordinary character of a name), "Vantrel-file" when there is none; the
// additional folder is split at "/" and "\", dropping empty, "." and ".." parts. Throws
// `IncomingFolderError` for a destination folder that is empty, not absolute or not valid UTF-8, and
// `LegacyClipboardCodecError::invalidEnvelope` for a name "." or "..", or a NUL anywhere.
IncomingFileDestination safeDestination(const LegacyFileMetadata& record);

class IncomingFileWriter {
 public:
  IncomingFileWriter() = default;
  ~IncomingFileWriter();
  IncomingFileWriter(const IncomingFileWriter&) = delete;
  IncomingFileWriter& operator=(const IncomingFileWriter&) = delete;

  // Free space a file must leave on its file system.
  static constexpr std::int64_t diskReserveBytes = 64LL * 1024 * 1024;

  // Abandons a file still open, creates the destination's folders (the named folder with its
  // parents as needed; subfolders without following links) and a new private temporary file
  // beside the final name. Throws `FileSystemError`; nothing is left open then. A file whose
  // announced size would leave less than `diskReserveBytes` free is refused (ENOSPC) before
  // anything is created.
  void begin(const IncomingFileDestination& destination, std::int64_t announcedSize);

  // Appends at the end of what arrived so far. Throws
  // `LegacyClipboardCodecError::valueTooLarge` when the bytes would pass the announced size, and
  // `FileSystemError` for a failed write; the file is abandoned in both cases.
  void append(ByteView bytes);

  // Completes the file: when exactly the announced size has arrived, gives it the usual
  // permissions, flushes it to disk when it replaces an existing item, and renames it over the
  // final name. Throws
  // `LegacyClipboardCodecError::invalidEnvelope` for a short file and `FileSystemError` for a
  // failed flush, close or rename; the temporary file is removed on every failure.
  void commit();

  // Closes and removes the temporary file; harmless when nothing is open. Never throws.
  void abandon() noexcept;

  bool isOpen() const noexcept { return file_.get() >= 0; }
  std::int64_t received() const noexcept { return received_; }
  std::int64_t announcedSize() const noexcept { return announcedSize_; }
  // Where the bytes are written meanwhile (empty when nothing is open).
  std::filesystem::path temporaryPath() const;
  std::filesystem::path finalPath() const { return finalPath_; }

  // The prefix every temporary file's name begins with.
  static constexpr std::string_view temporaryPrefix = ".vantrel-incoming-";

 private:
  void clear() noexcept;

  UniqueFd folder_;
  UniqueFd file_;
  std::filesystem::path folderPath_;
  std::filesystem::path finalPath_;
  std::string finalName_;
  std::string temporaryName_;
  std::int64_t received_ = 0;
  std::int64_t announcedSize_ = 0;
};

}  // namespace vantrel

#pragma once

// The manager's file browser: the listing of one folder and the single-file commands (create a
// folder, rename, delete, send files), carried as small JSON documents inside string envelopes.
// `MacSingleFileService` resolves folder names (with three Korean aliases), lists a folder and
// runs commands; every item name is checked so that a command never reaches outside its folder.
// All functions are synchronous and stateless; the session calls them on its own strand.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Support/Error.hpp"

namespace vantrel {

struct MacSingleFileEntry {
  std::string name;  // last path component, NFC (bytes that are not UTF-8 escaped as %XX)
  bool isDirectory = false;
  bool isHidden = false;
  std::int64_t size = 0;  // bytes; 0 for folders
  std::string modified;   // "yyyy-MM-dd HH:mm", local time; "" when unknown

  friend bool operator==(const MacSingleFileEntry&, const MacSingleFileEntry&) = default;
};

struct MacSingleFileList {
  static constexpr std::string_view listProtocolName = "VantrelMac.SingleFileList.v1";

  MacSingleFileList(std::string path, std::vector<MacSingleFileEntry> entries);

  std::string protocolName;
  std::string path;  // the resolved folder, NFC, no trailing slash
  std::vector<MacSingleFileEntry> entries;

  // Compact JSON with the keys protocolName, path, entries (name, isDirectory, isHidden, size,
  // modified); every "/" is written as "\/".
  std::string jsonString() const;

  friend bool operator==(const MacSingleFileList&, const MacSingleFileList&) = default;
};

struct MacSingleFileCommand {
  static constexpr std::string_view commandProtocolName = "VantrelMac.SingleFileCommand.v1";

  std::string protocolName;
  std::int64_t command = 0;  // 1 create folder, 2 rename, 3 delete, 4 send files
  std::string path;
  std::string remotePath;
  std::vector<std::string> files;

  // The longest document read: room for thousands of full paths in `files`, far below the 4 MiB
  // a string envelope may carry.
  static constexpr std::size_t maximumDocumentBytes = 1'048'576;

  // Strict: every key present with its exact type (no null), the protocol name exact; keys
  // beyond the five are ignored. nullopt for every failure, for a document over
  // `maximumDocumentBytes`, and for nesting below the `files` array or an ignored member's array
  // or object, refused while reading without building the document.
  static std::optional<MacSingleFileCommand> decode(std::string_view text);

  friend bool operator==(const MacSingleFileCommand&, const MacSingleFileCommand&) = default;
};

// The service's own refusals. The codes are those of the platform's file error domain that the
// manager side has always seen.
class MacSingleFileError : public Error {
 public:
  enum class Case { fileNoSuchFile, featureUnsupported, fileWriteInvalidFileName };

  static MacSingleFileError fileNoSuchFile() { return MacSingleFileError(Case::fileNoSuchFile); }
  static MacSingleFileError featureUnsupported() { return MacSingleFileError(Case::featureUnsupported); }
  static MacSingleFileError fileWriteInvalidFileName() {
    return MacSingleFileError(Case::fileWriteInvalidFileName);
  }

  Case kind() const noexcept { return case_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "NSCocoaErrorDomain"; }
  int errorCode() const override;

  friend bool operator==(const MacSingleFileError& a, const MacSingleFileError& b) {
    return a.case_ == b.case_;
  }

 private:
  explicit MacSingleFileError(Case c) : case_(c) {}
  Case case_;
};

namespace MacSingleFileService {

inline constexpr std::string_view desktopAlias = "바탕화면";
inline constexpr std::string_view documentsAlias = "내문서";
inline constexpr std::string_view homeAlias = "Vantrel 폴더";

// Lists one folder level. Throws `FileSystemError` when the folder cannot be read; an item whose
// status cannot be read is left out. Folders first, then the Finder's name order. The listing's
// JSON travels as one string of at most `maximumJSONBytes`: reading stops as soon as the entries
// read so far would make it longer, with the error building that string would have thrown
// (`LegacyClipboardCodecError::valueTooLarge`), so a huge folder costs no more than the largest
// answer.
MacSingleFileList list(std::string_view requestedPath,
                       std::size_t maximumJSONBytes = LegacyClipboardCodec::maximumTextBytes);

// Runs codes 1 to 3 and returns the folder's path (NFC) for the fresh listing. Throws
// `MacSingleFileError` for refusals and `FileSystemError` for failed file calls.
std::string execute(const MacSingleFileCommand& command);

// The folder a request names: the aliases, else the text with backslashes as "/", made absolute
// against the working directory, with "." and ".." removed and no trailing slash.
std::filesystem::path resolve(std::string_view path);

// The Finder's name order: runs of digits compare by value, letters ignoring case. Negative,
// zero or positive.
int standardCompare(std::string_view a, std::string_view b);

}  // namespace MacSingleFileService

}  // namespace vantrel

#include "Session/MacSingleFileProtocol.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "Session/FileSystemError.hpp"
#include "Support/Paths.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace fs = std::filesystem;

// MARK: - Documents

MacSingleFileList::MacSingleFileList(std::string path, std::vector<MacSingleFileEntry> entries)
    : protocolName(listProtocolName), path(std::move(path)), entries(std::move(entries)) {}

namespace {

nlohmann::ordered_json entryObject(const MacSingleFileEntry& entry) {
  nlohmann::ordered_json item;
  item["name"] = entry.name;
  item["isDirectory"] = entry.isDirectory;
  item["isHidden"] = entry.isHidden;
  item["size"] = entry.size;
  item["modified"] = entry.modified;
  return item;
}

// Strict: a text that is not UTF-8 throws instead of producing a document the manager cannot
// read. The listing escapes names beforehand, so this only guards callers that do not.
std::string compactJSON(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

// The manager's reader has always received "/" escaped; outside strings no "/" can occur.
std::size_t withEscapedSlashesSize(std::string_view compact) {
  return compact.size() + static_cast<std::size_t>(std::count(compact.begin(), compact.end(), '/'));
}

nlohmann::ordered_json listHead(const std::string& protocolName, const std::string& path) {
  nlohmann::ordered_json document;
  document["protocolName"] = protocolName;
  document["path"] = path;
  document["entries"] = nlohmann::ordered_json::array();
  return document;
}

}  // namespace

std::string MacSingleFileList::jsonString() const {
  auto document = listHead(protocolName, path);
  auto& items = document["entries"];
  for (const auto& entry : entries) items.push_back(entryObject(entry));
  const auto compact = compactJSON(document);
  std::string out;
  out.reserve(withEscapedSlashesSize(compact));
  for (const char c : compact) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

namespace {

// Reads a command document as the parser walks it, never as a tree: a tree costs tens of times
// the text (deep nesting most of all), while this keeps only the five members' values. The
// document is one object whose `files` is an array of strings; nesting below that is refused at
// once. Like a tree read, a repeated key counts with its last value and other keys are ignored.
class CommandReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  // Object and `files` array; an ignored member may hold one more level's worth of scalars.
  static constexpr int maximumDepth = 2;

  std::optional<MacSingleFileCommand> result() const {
    if (!protocolName_ || !path_ || !remotePath_ || !files_ || !command_) return std::nullopt;
    if (*protocolName_ != MacSingleFileCommand::commandProtocolName) return std::nullopt;
    MacSingleFileCommand command;
    command.protocolName = *protocolName_;
    command.command = *command_;
    command.path = *path_;
    command.remotePath = *remotePath_;
    command.files = *files_;
    return command;
  }

  bool null() override { return scalar(); }
  bool boolean(bool /*value*/) override { return scalar(); }
  bool number_integer(number_integer_t value) override {
    if (depth_ == 1 && member_ == Member::command) {
      command_ = value;
      return true;
    }
    return scalar();
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (depth_ == 1 && member_ == Member::command &&
        value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      command_ = static_cast<std::int64_t>(value);
      return true;
    }
    return scalar();
  }
  bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return scalar(); }
  bool binary(binary_t& /*value*/) override { return false; }
  bool string(string_t& value) override {
    if (depth_ == 2 && inFiles_) {
      if (files_) files_->push_back(std::move(value));
      return true;
    }
    if (depth_ != 1) return depth_ > 1;
    switch (member_) {
      case Member::protocolName: protocolName_ = std::move(value); return true;
      case Member::path: path_ = std::move(value); return true;
      case Member::remotePath: remotePath_ = std::move(value); return true;
      default: return scalar();
    }
  }
  bool start_object(std::size_t /*elements*/) override { return enter(false); }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t /*elements*/) override { return enter(true); }
  bool end_array() override { return leave(); }
  bool key(string_t& name) override {
    if (depth_ != 1) return true;
    member_ = name == "protocolName" ? Member::protocolName
              : name == "command"    ? Member::command
              : name == "path"       ? Member::path
              : name == "remotePath" ? Member::remotePath
              : name == "files"      ? Member::files
                                     : Member::other;
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  enum class Member { other, protocolName, command, path, remotePath, files };

  // A value of the wrong kind for a member clears it (a later repetition may set it again); at
  // the top level only an object is a document.
  bool scalar() {
    if (depth_ == 0) return false;
    if (depth_ == 2 && inFiles_) files_.reset();
    if (depth_ == 1) clearMember();
    return true;
  }
  void clearMember() {
    switch (member_) {
      case Member::protocolName: protocolName_.reset(); break;
      case Member::command: command_.reset(); break;
      case Member::path: path_.reset(); break;
      case Member::remotePath: remotePath_.reset(); break;
      case Member::files: files_.reset(); break;
      case Member::other: break;
    }
  }
  bool enter(bool isArray) {
    if (depth_ == 0) {
      if (isArray) return false;
    } else if (depth_ >= maximumDepth) {
      return false;
    } else {
      inFiles_ = isArray && member_ == Member::files;
      clearMember();
      if (inFiles_) files_.emplace();
    }
    ++depth_;
    return true;
  }
  bool leave() {
    --depth_;
    inFiles_ = false;
    return true;
  }

  int depth_ = 0;
  Member member_ = Member::other;
  bool inFiles_ = false;
  std::optional<std::string> protocolName_;
  std::optional<std::int64_t> command_;
  std::optional<std::string> path_;
  std::optional<std::string> remotePath_;
  std::optional<std::vector<std::string>> files_;
};

}  // namespace

std::optional<MacSingleFileCommand> MacSingleFileCommand::decode(std::string_view text) {
  if (text.size() > maximumDocumentBytes) return std::nullopt;
  CommandReader reader;
  if (!nlohmann::json::sax_parse(text, &reader)) return std::nullopt;
  return reader.result();
}

// MARK: - Errors

std::optional<std::string> MacSingleFileError::errorDescription() const {
  switch (case_) {
    case Case::fileNoSuchFile: return "The file doesn\u2019t exist.";
    case Case::featureUnsupported:
      return "The requested operation couldn\u2019t be completed because the feature is not "
             "supported.";
    case Case::fileWriteInvalidFileName:
      return "The file couldn\u2019t be saved because the file name is invalid.";
  }
  return std::nullopt;
}

int MacSingleFileError::errorCode() const {
  switch (case_) {
    case Case::fileNoSuchFile: return 4;
    case Case::featureUnsupported: return 3328;
    case Case::fileWriteInvalidFileName: return 514;
  }
  return 0;
}

namespace MacSingleFileService {
namespace {

// Deeper folder trees are refused rather than risking the stack or the descriptor limit.
constexpr int maximumRemovalDepth = 512;

std::string withoutTrailingSlash(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Absolute against the working directory, dot segments removed, no trailing slash.
fs::path standardized(const fs::path& path) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code ec;
    auto cwd = fs::current_path(ec);
    absolute = (ec ? fs::path("/") : cwd) / path;
  }
  return fs::path(withoutTrailingSlash(absolute.lexically_normal().string()));
}

std::string displayPath(const fs::path& path) { return text::nfc(text::printableFileName(path.string())); }

std::string modificationText(const struct stat& status) {
  std::tm local{};
  const std::time_t seconds = status.st_mtim.tv_sec;
  if (::localtime_r(&seconds, &local) == nullptr) return "";
  char buffer[32];
  const auto length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &local);
  return std::string(buffer, length);
}

UniqueFd openFolder(const fs::path& folder, const char* operation) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw FileSystemError(operation, folder.string(), errno);
  return fd;
}

// A name that stays directly inside its folder.
std::string safeChild(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\\') != std::string::npos || name.find('\0') != std::string::npos) {
    throw MacSingleFileError::fileWriteInvalidFileName();
  }
  return name;
}

// A bare name, or a full path of an item directly inside `base`; returns the item's name.
std::string safeRemovalItem(const std::string& item, const fs::path& base) {
  if (item.find('/') == std::string::npos && item.find('\\') == std::string::npos) {
    return safeChild(item);
  }
  if (item.find('\0') != std::string::npos) throw MacSingleFileError::fileWriteInvalidFileName();
  std::string slashed = item;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  const auto candidate = standardized(fs::path(slashed));
  const auto parent = standardized(candidate.parent_path());
  // "/.." standardises to "/" itself: its "parent" is "/" again and its name is empty. Such a
  // candidate names the folder, never an item inside it.
  if (candidate == base || parent != base) throw MacSingleFileError::fileWriteInvalidFileName();
  return safeChild(candidate.filename().string());
}

// Removes `name` inside the open folder: a file or link by itself, a folder with everything in
// it. Links are removed, never followed.
void removeItem(int folderFd, const std::string& name, const fs::path& itemPath, int depth) {
  if (::unlinkat(folderFd, name.c_str(), 0) == 0) return;
  const int unlinkError = errno;
  // Linux answers EISDIR for a folder (some file systems EPERM); anything else is final.
  if (unlinkError != EISDIR && unlinkError != EPERM) {
    throw FileSystemError("Couldn\u2019t remove", itemPath.string(), unlinkError);
  }
  if (depth >= maximumRemovalDepth) {
    throw FileSystemError("Couldn\u2019t remove", itemPath.string(), ELOOP);
  }
  UniqueFd child(::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!child) {
    const int code = (errno == ENOTDIR || errno == ELOOP) ? unlinkError : errno;
    throw FileSystemError("Couldn\u2019t remove", itemPath.string(), code);
  }
  for (const auto& inner : folderEntryNames(child.get(), itemPath.string())) {
    removeItem(child.get(), inner, itemPath / inner, depth + 1);
  }
  child.close();
  if (::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) != 0) {
    throw FileSystemError("Couldn\u2019t remove", itemPath.string(), errno);
  }
}

std::string foldedName(std::string_view name) { return text::lowercased(text::nfc(name)); }

// The Finder's order on names folded once (NFC, lower case): runs of digits compare by value.
int compareFolded(std::string_view fa, std::string_view fb) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < fa.size() && j < fb.size()) {
    if (isDigit(fa[i]) && isDigit(fb[j])) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < fa.size() && isDigit(fa[ei])) ++ei;
      while (ej < fb.size() && isDigit(fb[ej])) ++ej;
      std::size_t si = i;
      std::size_t sj = j;
      while (si + 1 < ei && fa[si] == '0') ++si;
      while (sj + 1 < ej && fb[sj] == '0') ++sj;
      const auto da = std::string_view(fa).substr(si, ei - si);
      const auto db = std::string_view(fb).substr(sj, ej - sj);
      if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
      if (const int c = da.compare(db); c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    const auto ca = static_cast<unsigned char>(fa[i]);
    const auto cb = static_cast<unsigned char>(fb[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < fa.size()) return 1;
  if (j < fb.size()) return -1;
  return 0;
}

struct SortedEntry {
  MacSingleFileEntry entry;
  std::string key;  // folded once: the sort compares each entry many times
};

// Calls `visit` with each name in the open folder, "." and ".." left out, reading as it goes.
template <class Visit>
void forEachFolderEntry(int folderFd, const std::string& shownPath, Visit visit) {
  static constexpr const char* readFolder = "Couldn\u2019t read the folder";
  UniqueFd duplicate(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  if (!duplicate) throw FileSystemError(readFolder, shownPath, errno);
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(duplicate.get()), ::closedir);
  if (!directory) throw FileSystemError(readFolder, shownPath, errno);
  (void)duplicate.release();     // the stream owns it now
  ::rewinddir(directory.get());  // a duplicate shares the position of a folder read before
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(directory.get());
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") visit(entry->d_name);
  }
  if (errno != 0) throw FileSystemError(readFolder, shownPath, errno);
}

}  // namespace

fs::path resolve(std::string_view path) {
  if (path == desktopAlias) return standardized(paths::desktopDirectory());
  if (path == documentsAlias) return standardized(paths::documentsDirectory());
  if (path == homeAlias) return standardized(paths::home());
  std::string slashed(path);
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  return standardized(fs::path(slashed));
}

int standardCompare(std::string_view a, std::string_view b) {
  return compareFolded(foldedName(a), foldedName(b));
}

MacSingleFileList list(std::string_view requestedPath, std::size_t maximumJSONBytes) {
  const auto folder = resolve(requestedPath);
  const auto folderFd = openFolder(folder, "Couldn\u2019t read the folder");
  auto shownPath = displayPath(folder);
  ::tzset();

  // The exact length of the answer so far: the head, then each entry and its separating comma.
  std::size_t jsonBytes = withEscapedSlashesSize(
      compactJSON(listHead(std::string(MacSingleFileList::listProtocolName), shownPath)));
  if (jsonBytes > maximumJSONBytes) throw LegacyClipboardCodecError::valueTooLarge();
  std::vector<SortedEntry> entries;
  forEachFolderEntry(folderFd.get(), folder.string(), [&](const char* rawName) {
    struct stat status {};
    // An item that vanished or cannot be examined is left out; the listing goes on.
    if (::fstatat(folderFd.get(), rawName, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    MacSingleFileEntry entry;
    entry.name = text::nfc(text::printableFileName(rawName));
    entry.isDirectory = S_ISDIR(status.st_mode);
    entry.isHidden = rawName[0] == '.';
    entry.size = entry.isDirectory ? 0 : static_cast<std::int64_t>(status.st_size);
    entry.modified = modificationText(status);
    jsonBytes += compactJSON(entryObject(entry)).size() + (entries.empty() ? 0 : 1);
    if (jsonBytes > maximumJSONBytes) throw LegacyClipboardCodecError::valueTooLarge();
    auto key = foldedName(entry.name);
    entries.push_back(SortedEntry{std::move(entry), std::move(key)});
  });
  std::stable_sort(entries.begin(), entries.end(), [](const SortedEntry& a, const SortedEntry& b) {
    if (a.entry.isDirectory != b.entry.isDirectory) return a.entry.isDirectory;
    return compareFolded(a.key, b.key) < 0;
  });
  std::vector<MacSingleFileEntry> sorted;
  sorted.reserve(entries.size());
  for (auto& item : entries) sorted.push_back(std::move(item.entry));
  return MacSingleFileList(std::move(shownPath), std::move(sorted));
}

std::string execute(const MacSingleFileCommand& command) {
  const auto base = resolve(command.path);
  switch (command.command) {
    case 1: {
      if (command.files.empty()) throw MacSingleFileError::fileNoSuchFile();
      const auto name = safeChild(command.files[0]);
      const auto folderFd = openFolder(base, "Couldn\u2019t create the folder");
      if (::mkdirat(folderFd.get(), name.c_str(), 0777) != 0) {
        throw FileSystemError("Couldn\u2019t create the folder", (base / name).string(), errno);
      }
      break;
    }
    case 2: {
      if (command.files.size() != 2) throw MacSingleFileError::fileNoSuchFile();
      const auto source = safeChild(command.files[0]);
      const auto destination = safeChild(command.files[1]);
      const auto folderFd = openFolder(base, "Couldn\u2019t rename");
      // Never replaces an existing item: the rename fails with "File exists" instead.
      if (::renameat2(folderFd.get(), source.c_str(), folderFd.get(), destination.c_str(),
                      RENAME_NOREPLACE) != 0) {
        throw FileSystemError("Couldn\u2019t rename", (base / source).string(), errno);
      }
      break;
    }
    case 3: {
      std::optional<UniqueFd> folderFd;
      for (const auto& element : command.files) {
        const auto name = safeRemovalItem(element, base);
        if (!folderFd) folderFd.emplace(openFolder(base, "Couldn\u2019t remove"));
        removeItem(folderFd->get(), name, base / name, 0);
      }
      break;
    }
    default: throw MacSingleFileError::featureUnsupported();
  }
  return displayPath(base);
}

}  // namespace MacSingleFileService

}  // namespace vantrel

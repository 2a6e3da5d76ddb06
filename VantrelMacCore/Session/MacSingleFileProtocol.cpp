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
#include <nlohmann/json.hpp>

#include "Session/FileSystemError.hpp"
#include "Support/Paths.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace fs = std::filesystem;

// MARK: - Documents

MacSingleFileList::MacSingleFileList(std::string path, std::vector<MacSingleFileEntry> entries)
    : protocolName(listProtocolName), path(std::move(path)), entries(std::move(entries)) {}

std::string MacSingleFileList::jsonString() const {
  nlohmann::ordered_json document;
  document["protocolName"] = protocolName;
  document["path"] = path;
  auto items = nlohmann::ordered_json::array();
  for (const auto& entry : entries) {
    nlohmann::ordered_json item;
    item["name"] = entry.name;
    item["isDirectory"] = entry.isDirectory;
    item["isHidden"] = entry.isHidden;
    item["size"] = entry.size;
    item["modified"] = entry.modified;
    items.push_back(std::move(item));
  }
  document["entries"] = std::move(items);
  // Strict: a text that is not UTF-8 throws instead of producing a document the manager cannot
  // read. The listing escapes names beforehand, so this only guards callers that do not.
  const auto compact = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  // The manager's reader has always received "/" escaped; outside strings no "/" can occur.
  std::string out;
  out.reserve(compact.size() + compact.size() / 8);
  for (const char c : compact) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::optional<MacSingleFileCommand> MacSingleFileCommand::decode(std::string_view text) {
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto field = [&](const char* key) -> const nlohmann::json* {
    const auto it = document.find(key);
    return it == document.end() ? nullptr : &*it;
  };
  const auto* protocolName = field("protocolName");
  const auto* command = field("command");
  const auto* path = field("path");
  const auto* remotePath = field("remotePath");
  const auto* files = field("files");
  if (!protocolName || !command || !path || !remotePath || !files) return std::nullopt;
  if (!protocolName->is_string() || !path->is_string() || !remotePath->is_string() || !files->is_array()) {
    return std::nullopt;
  }
  MacSingleFileCommand result;
  if (command->is_number_unsigned()) {
    const auto value = command->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    result.command = static_cast<std::int64_t>(value);
  } else if (command->is_number_integer()) {
    result.command = command->get<std::int64_t>();
  } else {
    return std::nullopt;
  }
  for (const auto& element : *files) {
    if (!element.is_string()) return std::nullopt;
    result.files.push_back(element.get<std::string>());
  }
  result.protocolName = protocolName->get<std::string>();
  result.path = path->get<std::string>();
  result.remotePath = remotePath->get<std::string>();
  if (result.protocolName != commandProtocolName) return std::nullopt;
  return result;
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
  const auto fa = text::lowercased(text::nfc(a));
  const auto fb = text::lowercased(text::nfc(b));
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

MacSingleFileList list(std::string_view requestedPath) {
  const auto folder = resolve(requestedPath);
  const auto folderFd = openFolder(folder, "Couldn\u2019t read the folder");
  const auto names = folderEntryNames(folderFd.get(), folder.string());
  ::tzset();

  std::vector<MacSingleFileEntry> entries;
  entries.reserve(names.size());
  for (const auto& rawName : names) {
    struct stat status {};
    // An item that vanished or cannot be examined is left out; the listing goes on.
    if (::fstatat(folderFd.get(), rawName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    MacSingleFileEntry entry;
    entry.name = text::nfc(text::printableFileName(rawName));
    entry.isDirectory = S_ISDIR(status.st_mode);
    entry.isHidden = !rawName.empty() && rawName.front() == '.';
    entry.size = entry.isDirectory ? 0 : static_cast<std::int64_t>(status.st_size);
    entry.modified = modificationText(status);
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const MacSingleFileEntry& a, const MacSingleFileEntry& b) {
                     if (a.isDirectory != b.isDirectory) return a.isDirectory;
                     return standardCompare(a.name, b.name) < 0;
                   });
  return MacSingleFileList(displayPath(folder), std::move(entries));
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

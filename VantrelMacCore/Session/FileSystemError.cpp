#include "Session/FileSystemError.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "Support/Text.hpp"

namespace vantrel {

FileSystemError::FileSystemError(std::string operation, std::string path, int posixCode)
    : operation_(std::move(operation)), path_(text::printableFileName(path)), posixCode_(posixCode) {}

std::optional<std::string> FileSystemError::errorDescription() const {
  return fmt::format("{} \u201C{}\u201D: {}", operation_, path_, std::generic_category().message(posixCode_));
}

std::vector<std::string> folderEntryNames(int folderFd, const std::string& shownPath) {
  static constexpr const char* readFolder = "Couldn\u2019t read the folder";
  const int duplicate = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) throw FileSystemError(readFolder, shownPath, errno);
  DIR* directory = ::fdopendir(duplicate);
  if (directory == nullptr) {
    const int code = errno;
    ::close(duplicate);
    throw FileSystemError(readFolder, shownPath, code);
  }
  ::rewinddir(directory);  // a duplicate shares the position of a folder read before
  std::vector<std::string> names;
  int code = 0;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      code = errno;
      break;
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(directory);
  if (code != 0) throw FileSystemError(readFolder, shownPath, code);
  return names;
}

}  // namespace vantrel

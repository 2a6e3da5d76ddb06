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
    : operation_(std::move(operation)), path_(printableFileName(path)), posixCode_(posixCode) {}

std::optional<std::string> FileSystemError::errorDescription() const {
  return fmt::format("{} \u201C{}\u201D: {}", operation_, path_, std::generic_category().message(posixCode_));
}

namespace {
// Length of the valid UTF-8 sequence starting at `i`, or 0 when the byte there starts none.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  return text::isValidUTF8(s.substr(i, length)) ? length : 0;
}
}  // namespace

std::string printableFileName(std::string_view name) {
  if (text::isValidUTF8(name)) return std::string(name);
  std::string out;
  out.reserve(name.size() + 8);
  std::size_t i = 0;
  while (i < name.size()) {
    const auto length = validSequenceLength(name, i);
    if (length == 0) {
      out += fmt::format("%{:02X}", static_cast<unsigned char>(name[i]));
      ++i;
    } else {
      out.append(name.substr(i, length));
      i += length;
    }
  }
  return out;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::close() noexcept {
  if (fd_ < 0) return 0;
  const int fd = release();
  // Linux releases the descriptor even when close reports an error; never retry it.
  return ::close(fd) == 0 ? 0 : errno;
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

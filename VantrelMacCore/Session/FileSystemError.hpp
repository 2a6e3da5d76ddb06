#pragma once

// Errors of the operating system's file calls as the session reports them, and the helpers the
// session's file components share: descriptor ownership and a text form of file names that is
// always valid UTF-8.

#include <string>
#include <string_view>
#include <vector>

#include "Support/Error.hpp"

namespace vantrel {

// A failed file-system call: what was attempted, on which item, and the errno it gave.
// The description reads like "Couldn’t create the folder “/a/b”: File exists".
class FileSystemError : public Error {
 public:
  FileSystemError(std::string operation, std::string path, int posixCode);

  const std::string& operation() const noexcept { return operation_; }
  const std::string& path() const noexcept { return path_; }
  int posixCode() const noexcept { return posixCode_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.FileSystemError"; }
  int errorCode() const override { return posixCode_; }

  friend bool operator==(const FileSystemError& a, const FileSystemError& b) {
    return a.operation_ == b.operation_ && a.path_ == b.path_ && a.posixCode_ == b.posixCode_;
  }

 private:
  std::string operation_;
  std::string path_;
  int posixCode_;
};

// A file name or path as text that is always valid UTF-8: valid sequences are kept as they are,
// every byte that is not part of one is written as "%" and two upper-case hexadecimal digits.
// Linux names are arbitrary bytes; the manager's JSON and the log lines need text.
std::string printableFileName(std::string_view name);

// The names in an open folder, without "." and "..", in the order the file system gives them.
// Reads through a duplicate, so the caller keeps its descriptor; a failure throws
// `FileSystemError` naming `shownPath`.
std::vector<std::string> folderEntryNames(int folderFd, const std::string& shownPath);

// Owns one file descriptor and closes it on destruction (errors of that close are ignored).
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the close's errno (0 on success, also when nothing was open).
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace vantrel

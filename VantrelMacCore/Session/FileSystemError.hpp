#pragma once

// Errors of the operating system's file calls as the session reports them, and the folder
// reading the session's file components share.

#include <string>
#include <string_view>
#include <vector>

#include "Support/Error.hpp"
#include "Support/UniqueFd.hpp"

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

// The names in an open folder, without "." and "..", in the order the file system gives them.
// Reads through a duplicate, so the caller keeps its descriptor; a failure throws
// `FileSystemError` naming `shownPath`.
std::vector<std::string> folderEntryNames(int folderFd, const std::string& shownPath);

}  // namespace vantrel

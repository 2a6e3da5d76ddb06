#pragma once

// Files for the fuzz targets that work on them: a private temporary folder, created 0700 once
// per process and removed with everything in it when the run ends, and whole-file writes.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace vantrel::fuzz {

inline const std::filesystem::path& privateTemporaryFolder(const char* prefix) {
  // Never destroyed: the removal at exit runs after static objects are gone.
  static const auto* folder = [prefix] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return new std::filesystem::path(pattern);
  }();
  static const bool removalRegistered = std::atexit([] {
                                          std::error_code ignored;
                                          std::filesystem::remove_all(*folder, ignored);
                                        }) == 0;
  (void)removalRegistered;
  return *folder;
}

// Writes the bytes as the whole contents of `file` (created 0600), through a rename so that a
// reader never sees a half-written file.
inline void replaceFile(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
  const auto temporary = file.string() + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const auto n = ::write(fd, data + written, size - written);
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (::rename(temporary.c_str(), file.c_str()) != 0) std::abort();
}

}  // namespace vantrel::fuzz

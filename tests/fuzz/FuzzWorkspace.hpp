#pragma once

// A private temporary folder for a fuzz target that works on files: created 0700 once per
// process, removed with everything in it when the run ends.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vantrel::fuzz {

inline const std::filesystem::path& privateTemporaryFolder(const char* prefix) {
  static const std::filesystem::path folder = [prefix] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(privateTemporaryFolder(""), ignored);
    });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

}  // namespace vantrel::fuzz

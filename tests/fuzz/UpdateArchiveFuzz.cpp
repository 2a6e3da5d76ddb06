// Feeds arbitrary bytes to the update archive extractor, into a private temporary folder that
// is emptied after each run. It either extracts or throws its own error; nothing may appear
// beside the staging folder.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzWorkspace.hpp"
#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkArchive.hpp"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {
// <private folder>/staging; the private folder must hold nothing else.
const fs::path& workspace() { return fuzz::privateTemporaryFolder("vantrel-archive-fuzz"); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto staging = workspace() / "staging";
  fs::create_directory(staging);
  const int input = ::memfd_create("archive", MFD_CLOEXEC);
  const int folder = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (input < 0 || folder < 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const auto n = ::write(input, data + written, size - written);
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }
  ::lseek(input, 0, SEEK_SET);
  update_archive::Limits limits;
  limits.maximumTotalBytes = 8 * 1024 * 1024;  // keeps each run small
  limits.maximumEntries = 1000;
  try {
    update_archive::extract(input, folder, limits);
  } catch (const UpdaterError& error) {
    if (error.code() != updater_errors::archiveRefused && error.code() != updater_errors::installFailed) {
      std::abort();
    }
  }
  ::close(input);
  ::close(folder);
  for (const auto& entry : fs::directory_iterator(workspace())) {
    if (entry.path() != staging) std::abort();  // something left the staging folder
  }
  fs::remove_all(staging);
  return 0;
}

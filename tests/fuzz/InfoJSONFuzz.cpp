// Feeds arbitrary bytes to the reading of an Info.json: the dictionary loader (through a file in
// a private temporary folder, as the program reads its own), its accessors, and the update
// configuration a staged build's file must pass.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzWorkspace.hpp"
#include "Model/Settings/InfoDictionary.hpp"
#include "Update/UpdateConfiguration.hpp"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {
const fs::path& infoFile() {
  static const fs::path file = [] {
    return fuzz::privateTemporaryFolder("vantrel-info-fuzz") / "Info.json";
  }();
  return file;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::replaceFile(infoFile(), data, size);
  const auto info = InfoDictionary::load(infoFile());
  if (!info) return 0;
  if (!info->values().is_object()) std::abort();
  for (const auto& [key, value] : info->values().items()) {
    (void)info->string(key);
    (void)info->boolean(key);
    (void)info->object(key);
  }
  (void)info->bundleIdentifier();
  try {
    const UpdateConfiguration configuration(info->values());
    (void)configuration;
  } catch (const UpdateConfiguration::ValidationError&) {
  }
  (void)AppVersion::display(info->values());
  return 0;
}

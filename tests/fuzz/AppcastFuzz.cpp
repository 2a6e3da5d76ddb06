// Feeds arbitrary bytes to the appcast reader. It either finds no newer item, finds one whose
// fields keep the reader's promises, or throws its own error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkAppcast.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the running build: 0 (anything newer) up to 255.
  const std::uint64_t running = data[0];
  const std::string_view document(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    const auto item = update_appcast::newestItem(document, running);
    if (!item) return 0;
    if (item->length == 0 || item->length > update_appcast::maximumArchiveSize) std::abort();
    if (item->versionString.empty() || item->edSignature.empty()) std::abort();
    for (const char c : item->versionString) {
      if (c < '0' || c > '9') std::abort();
    }
  } catch (const UpdaterError& error) {
    if (error.code() != updater_errors::feedMalformed) std::abort();
  }
  return 0;
}

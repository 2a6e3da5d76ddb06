// Where a manager's file record may write: whatever the record says, the destination is the
// named absolute folder, plain subfolders inside it and a plain name, or a refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Session/IncomingFileWriter.hpp"

using namespace vantrel;

namespace {
bool plainComponent(const std::string& part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
         part.find('\0') == std::string::npos;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LegacyFileMetadata record;
  if (size == LegacyFileMetadata::wireByteCount) {
    auto decoded = LegacyFileMetadata::decode(ByteView(data, size));
    if (!decoded) std::abort();
    record = *decoded;
  } else {
    // Three texts separated by line feeds: filename, destination folder, additional folder.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto first = text.find('\n');
    const auto second = first == std::string::npos ? first : text.find('\n', first + 1);
    record.filename = text.substr(0, first);
    if (first != std::string::npos) record.destinationFolder = text.substr(first + 1, second - first - 1);
    if (second != std::string::npos) record.additionalFolder = text.substr(second + 1);
  }
  try {
    const auto destination = safeDestination(record);
    if (!destination.folder.is_absolute()) std::abort();
    if (destination.folder.lexically_normal() != destination.folder &&
        destination.folder.lexically_normal().string() != destination.folder.string() + "/") {
      std::abort();
    }
    for (const auto& part : destination.subfolders) {
      if (!plainComponent(part)) std::abort();
    }
    if (!plainComponent(destination.name)) std::abort();
    const auto path = destination.path().lexically_normal();
    const auto inside = path.lexically_relative(destination.folder);
    if (inside.empty() || *inside.begin() == "..") std::abort();
  } catch (const LegacyClipboardCodecError& error) {
    if (error.kind() != LegacyClipboardCodecError::Case::invalidEnvelope) std::abort();
  } catch (const IncomingFolderError& error) {
    if (!record.destinationFolder.empty() && record.destinationFolder.front() == '/') std::abort();
    (void)error.localizedDescription();
  }
  return 0;
}

// Decodes arbitrary bytes as a file record; whatever decodes and can be encoded again must come
// back equal, and an encoded record is always 632 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/LegacyFileTransfer.hpp"
#include "Support/Text.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto record = LegacyFileMetadata::decode(ByteView(data, size));
  if (record.has_value() != (size == LegacyFileMetadata::wireByteCount)) std::abort();
  if (!record) return 0;
  for (const auto* name : {&record->filename, &record->destinationFolder, &record->additionalFolder}) {
    if (!text::isValidUTF8(*name) || name->find('\0') != std::string::npos) std::abort();
  }
  if (record->filename.size() > 96 || record->destinationFolder.size() > 256) std::abort();
  const auto encoded = record->encode();
  if (!encoded) return 0;  // negative size or a full-width name
  if (encoded->size() != LegacyFileMetadata::wireByteCount) std::abort();
  if (LegacyFileMetadata::decode(*encoded) != record) std::abort();
  return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"

namespace vantrel {

// The 632-byte record that announces each file of a transfer (frame command 10), little-endian:
// 0 comNum Int32 | 4 currentIndex Int32 | 8 total Int32 | 12 isClipboard (1 or 0, then three
// zero bytes) | 16 fileSize Int64 | 24 filename (96) | 120 destinationFolder (256) |
// 376 additionalFolder (256). Names are UTF-8, zero-terminated and zero-padded, so a field of
// n bytes holds at most n - 1 bytes of name.
struct LegacyFileMetadata {
  static constexpr std::size_t wireByteCount = 632;
  static constexpr std::size_t filenameOffset = 24;
  static constexpr std::size_t filenameByteCount = 96;
  static constexpr std::size_t destinationFolderOffset = 120;
  static constexpr std::size_t destinationFolderByteCount = 256;
  static constexpr std::size_t additionalFolderOffset = 376;
  static constexpr std::size_t additionalFolderByteCount = 256;

  std::int32_t comNum = 0;
  std::int32_t currentIndex = 0;
  std::int32_t total = 0;
  bool isClipboard = false;
  std::int64_t fileSize = 0;
  std::string filename;
  std::string destinationFolder;
  std::string additionalFolder;
  // The destination folder's bytes as they arrived (up to the first zero byte) when they are not
  // valid UTF-8, so that a message can show what was sent; empty otherwise. Never used as a path;
  // `encode` writes it back in place of an empty `destinationFolder`, so a record encodes to the
  // bytes it was decoded from.
  std::string undecodableDestinationFolder{};

  // The 632-byte record; nullopt for a negative size or a name that does not fit its field.
  // Names are written as given: no normalisation, no path conversion.
  std::optional<Bytes> encode() const;

  // nullopt unless exactly 632 bytes. `isClipboard` is true only for the Int32 value 1; a
  // negative size is accepted; a name that is not valid UTF-8 reads as empty (the destination
  // folder's bytes are kept in `undecodableDestinationFolder`).
  static std::optional<LegacyFileMetadata> decode(ByteView data);

  friend bool operator==(const LegacyFileMetadata&, const LegacyFileMetadata&) = default;
};

}  // namespace vantrel

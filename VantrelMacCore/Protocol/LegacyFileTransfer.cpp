#include "Protocol/LegacyFileTransfer.hpp"

#include <algorithm>

#include "Support/Text.hpp"

namespace vantrel {
namespace {

// Writes the UTF-8 bytes and zero padding; false when the name leaves no room for a zero byte.
bool appendFixedUTF8(ByteWriter& out, const std::string& text, std::size_t count) {
  if (text.size() >= count) return false;
  out.bytes(asBytes(text)).zeros(count - text.size());
  return true;
}

// The bytes of a fixed field up to its first zero byte.
ByteView fixedField(ByteView data, std::size_t offset, std::size_t count) {
  const auto field = data.subspan(offset, count);
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return field.first(static_cast<std::size_t>(end - field.begin()));
}

std::string fixedUTF8(ByteView data, std::size_t offset, std::size_t count) {
  const auto bytes = fixedField(data, offset, count);
  if (!text::isValidUTF8(bytes)) return {};
  return toString(bytes);
}

}  // namespace

std::optional<Bytes> LegacyFileMetadata::encode() const {
  if (fileSize < 0) return std::nullopt;
  ByteWriter out(wireByteCount);
  out.i32le(comNum).i32le(currentIndex).i32le(total);
  out.u8(isClipboard ? 1 : 0).zeros(3);
  out.i64le(fileSize);
  if (!appendFixedUTF8(out, filename, filenameByteCount)) return std::nullopt;
  // A record that came with an undecodable folder goes out with the bytes it came with.
  const std::string& folder = destinationFolder.empty() ? undecodableDestinationFolder : destinationFolder;
  if (!appendFixedUTF8(out, folder, destinationFolderByteCount)) return std::nullopt;
  if (!appendFixedUTF8(out, additionalFolder, additionalFolderByteCount)) return std::nullopt;
  if (out.size() != wireByteCount) return std::nullopt;
  return std::move(out).take();
}

std::optional<LegacyFileMetadata> LegacyFileMetadata::decode(ByteView data) {
  if (data.size() != wireByteCount) return std::nullopt;
  LegacyFileMetadata record;
  record.comNum = *readI32LE(data, 0);
  record.currentIndex = *readI32LE(data, 4);
  record.total = *readI32LE(data, 8);
  record.isClipboard = *readI32LE(data, 12) == 1;
  record.fileSize = *readI64LE(data, 16);
  record.filename = fixedUTF8(data, filenameOffset, filenameByteCount);
  record.destinationFolder = fixedUTF8(data, destinationFolderOffset, destinationFolderByteCount);
  const auto folderBytes = fixedField(data, destinationFolderOffset, destinationFolderByteCount);
  if (!text::isValidUTF8(folderBytes)) record.undecodableDestinationFolder = toString(folderBytes);
  record.additionalFolder = fixedUTF8(data, additionalFolderOffset, additionalFolderByteCount);
  return record;
}

}  // namespace vantrel

#include "Protocol/LegacyClipboardCodec.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "Protocol/LegacyNrbfRecords.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Support/Text.hpp"

namespace vantrel {

std::optional<std::string> LegacyClipboardCodecError::errorDescription() const {
  switch (case_) {
    case Case::invalidEnvelope: return "Invalid legacy clipboard envelope.";
    case Case::unsupportedValue: return "Unsupported legacy clipboard value.";
    case Case::valueTooLarge: return "Clipboard value exceeds the safe size limit.";
  }
  return std::nullopt;
}

namespace LegacyClipboardCodec {
namespace {

namespace nrbf = LegacyNrbf;

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// The IEND chunk type and its CRC.
constexpr std::array<std::uint8_t, 8> kPngEnd{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
constexpr std::array<std::uint8_t, 5> kStringRecordHead4{0x06, 0x04, 0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 5> kStringRecordHead6{0x06, 0x06, 0x00, 0x00, 0x00};
// "C:\\Clipboard Target": C, colon, two backslashes, then 16 bytes.
constexpr std::string_view kFolderPlaceholder = "C:\\\\Clipboard Target";
// Any 27 bytes of text: the stored text template's string is never sent.
constexpr std::string_view kTextPlaceholder = "Clipboard text placeholder.";
constexpr std::int32_t kTemplateComNum = 209;

// A valid 2×2 RGB PNG of exactly 128 bytes (IHDR, a tEXt comment as padding, IDAT, IEND); the
// image template's placeholder, never sent.
constexpr std::array<std::uint8_t, 128> kPlaceholderPNG{
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
    0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xFD, 0xD4, 0x9A,
    0x73, 0x00, 0x00, 0x00, 0x29, 0x74, 0x45, 0x58, 0x74, 0x43, 0x6F, 0x6D, 0x6D, 0x65, 0x6E, 0x74,
    0x00, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78,
    0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78,
    0x78, 0x78, 0x98, 0x27, 0x16, 0x17, 0x00, 0x00, 0x00, 0x12, 0x49, 0x44, 0x41, 0x54, 0x78, 0xDA,
    0x63, 0xF8, 0xCF, 0xC0, 0xC0, 0x00, 0xC2, 0x0C, 0xFF, 0x81, 0x00, 0x00, 0x1F, 0xEE, 0x05, 0xFB,
    0xF1, 0xAB, 0xBA, 0x77, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

[[noreturn]] void templateFault(const char* name) {
  std::fprintf(stderr, "LegacyClipboardCodec: stored %s template is malformed\n", name);
  std::abort();
}

Bytes checked(Bytes bytes, std::size_t expectedSize, const char* name) {
  if (bytes.size() != expectedSize) templateFault(name);
  return bytes;
}

Bytes buildTextTemplate() {
  Bytes out = nrbf::commonSocketDataPrefix(LegacyMgrProtocolCommand::clipboardText, kTemplateComNum);
  nrbf::appendBinaryObjectString(out, 4, kTextPlaceholder);
  out.push_back(nrbf::messageEndRecord);
  return checked(std::move(out), 270, "text");
}

Bytes buildFileTemplate() {
  Bytes out = nrbf::commonSocketDataPrefix(LegacyMgrProtocolCommand::clipboardFile, kTemplateComNum);
  out.push_back(nrbf::objectNullRecord);
  out.push_back(nrbf::messageEndRecord);
  return checked(std::move(out), 238, "file");
}

Bytes buildFolderTemplate() {
  static constexpr std::array<std::string_view, 2> members{"Folder", "Msg"};
  static constexpr std::array<std::uint8_t, 2> types{nrbf::binaryTypeString, nrbf::binaryTypeString};
  Bytes out = nrbf::commonSocketDataPrefix(LegacyMgrProtocolCommand::setCurrentFolder, kTemplateComNum);
  nrbf::appendMemberReference(out, 4);
  nrbf::appendClassWithMembersAndTypesHead(out, 4, "Corvantis.TClibboardResult", members, types);
  nrbf::appendInt32(out, nrbf::managerLibraryID);
  nrbf::appendBinaryObjectString(out, 5, kFolderPlaceholder);
  nrbf::appendBinaryObjectString(out, 6, "");
  out.push_back(nrbf::messageEndRecord);
  return checked(std::move(out), 327, "folder");
}

Bytes buildImageTemplate() {
  static constexpr std::array<std::string_view, 3> members{"Kind", "ComNum", "DataClass"};
  static constexpr std::array<std::uint8_t, 3> types{nrbf::binaryTypeClass, nrbf::binaryTypePrimitive,
                                                     nrbf::binaryTypeClass};
  static constexpr std::array<std::string_view, 1> bitmapMembers{"Data"};
  static constexpr std::array<std::uint8_t, 1> bitmapTypes{nrbf::binaryTypePrimitiveArray};
  constexpr std::string_view bitmapClassName = "System.Drawing.Bitmap";

  Bytes out;
  nrbf::appendSerializationHeader(out);
  nrbf::appendBinaryLibrary(out, nrbf::managerLibraryID, nrbf::managerLibraryName);
  nrbf::appendBinaryLibrary(out, nrbf::drawingLibraryID, nrbf::drawingLibraryName);
  nrbf::appendClassWithMembersAndTypesHead(out, 1, nrbf::socketDataClassName, members, types);
  nrbf::appendLengthPrefixedString(out, nrbf::protocolEnumClassName);
  nrbf::appendInt32(out, nrbf::managerLibraryID);
  out.push_back(nrbf::primitiveInt32);
  nrbf::appendLengthPrefixedString(out, bitmapClassName);
  nrbf::appendInt32(out, nrbf::drawingLibraryID);
  nrbf::appendInt32(out, nrbf::managerLibraryID);
  nrbf::appendProtocolEnum(out, -4, LegacyMgrProtocolCommand::clipboardImage);
  nrbf::appendInt32(out, kTemplateComNum);
  nrbf::appendMemberReference(out, 5);
  nrbf::appendClassWithMembersAndTypesHead(out, 5, bitmapClassName, bitmapMembers, bitmapTypes);
  out.push_back(nrbf::primitiveByte);
  nrbf::appendInt32(out, nrbf::drawingLibraryID);
  nrbf::appendMemberReference(out, 6);
  out.push_back(nrbf::arraySinglePrimitiveRecord);
  nrbf::appendInt32(out, 6);
  nrbf::appendUInt32(out, static_cast<std::uint32_t>(kPlaceholderPNG.size()));
  out.push_back(nrbf::primitiveByte);
  out.insert(out.end(), kPlaceholderPNG.begin(), kPlaceholderPNG.end());
  out.push_back(nrbf::messageEndRecord);
  return checked(std::move(out), 540, "image");
}

// The offset of `Kind` in a template: the probe must accept it and the member marker must occur.
std::size_t kindOffset(const Bytes& stored) {
  if (!LegacyTSocketDataKindProbe::probeKind(stored)) throw LegacyClipboardCodecError::invalidEnvelope();
  const auto end = nrbf::memberMarkerEnd(stored);
  if (!end || stored.size() - *end < 8) throw LegacyClipboardCodecError::invalidEnvelope();
  return *end;
}

void patchEnvelope(Bytes& data, std::size_t kindOffset, std::uint32_t kind, std::uint16_t comNum) {
  (void)writeInteger<std::uint32_t>(data, kindOffset, kind, Endian::little);
  (void)writeInteger<std::uint32_t>(data, kindOffset + 4, comNum, Endian::little);
}

void appendUInt32LE(std::uint32_t value, Bytes& data) { nrbf::appendUInt32(data, value); }

void appendPrefixed(Bytes& out, std::string_view text) {
  if (!nrbf::appendLengthPrefix(out, text.size())) throw LegacyClipboardCodecError::invalidEnvelope();
  append(out, asBytes(text));
}

nrbf::StringRecords objectStrings(ByteView data) {
  if (!LegacyTSocketDataKindProbe::probeKind(data)) return {};
  const auto markerEnd = nrbf::memberMarkerEnd(data);
  if (!markerEnd) return {};
  return nrbf::scanStringRecords(data, *markerEnd + 8, maximumTextBytes);
}

// The PNG stream from the first signature at or after `from` through the last IEND after it.
std::optional<ByteView> pngStream(ByteView data, std::size_t from) {
  const auto signature = nrbf::find(data, ByteView(kPngSignature), from);
  if (!signature) return std::nullopt;
  const auto tail = data.subspan(*signature);
  const auto end = std::find_end(tail.begin(), tail.end(), kPngEnd.begin(), kPngEnd.end());
  if (end == tail.end()) return std::nullopt;
  const auto length = static_cast<std::size_t>(end - tail.begin()) + kPngEnd.size();
  return tail.first(length);
}

}  // namespace

const Bytes& textTemplate() {
  static const Bytes bytes = buildTextTemplate();
  return bytes;
}
const Bytes& imageTemplate() {
  static const Bytes bytes = buildImageTemplate();
  return bytes;
}
const Bytes& fileTemplate() {
  static const Bytes bytes = buildFileTemplate();
  return bytes;
}
const Bytes& folderTemplate() {
  static const Bytes bytes = buildFolderTemplate();
  return bytes;
}

Bytes makeText(std::string_view text, std::uint16_t comNum) {
  return makeStringDataClass(LegacyMgrProtocolCommand::clipboardText, text, comNum);
}

Bytes makeStringDataClass(std::uint32_t kind, std::string_view text, std::uint16_t comNum) {
  if (text.size() > maximumTextBytes) throw LegacyClipboardCodecError::valueTooLarge();
  const auto& stored = textTemplate();
  const auto offset = kindOffset(stored);
  Bytes out(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(offset + 8));
  out.reserve(out.size() + 5 + 5 + text.size() + 1);
  patchEnvelope(out, offset, kind, comNum);
  append(out, ByteView(kStringRecordHead4));
  appendPrefixed(out, text);
  out.push_back(nrbf::messageEndRecord);
  return out;
}

Bytes makeImagePNG(ByteView png, std::uint16_t comNum) {
  if (png.size() > maximumImageBytes) throw LegacyClipboardCodecError::invalidEnvelope();
  if (!startsWith(png, ByteView(kPngSignature))) throw LegacyClipboardCodecError::invalidEnvelope();
  const auto stream = pngStream(png, 0);
  if (!stream || stream->size() > maximumImageBytes) throw LegacyClipboardCodecError::invalidEnvelope();

  const auto& stored = imageTemplate();
  const auto offset = kindOffset(stored);
  const auto placeholder = nrbf::find(stored, ByteView(kPngSignature));
  if (!placeholder || *placeholder < 10 || *placeholder - 10 < offset + 8) {
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  Bytes out(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(*placeholder - 10));
  out.reserve(out.size() + 10 + stream->size() + 1);
  patchEnvelope(out, offset, LegacyMgrProtocolCommand::clipboardImage, comNum);
  out.push_back(nrbf::arraySinglePrimitiveRecord);
  appendUInt32LE(6, out);
  appendUInt32LE(static_cast<std::uint32_t>(stream->size()), out);
  out.push_back(nrbf::primitiveByte);
  append(out, *stream);
  out.push_back(nrbf::messageEndRecord);
  return out;
}

Bytes makeFileNotification(std::uint16_t comNum) {
  const auto& stored = fileTemplate();
  const auto offset = kindOffset(stored);
  Bytes out = stored;
  patchEnvelope(out, offset, LegacyMgrProtocolCommand::clipboardFile, comNum);
  return out;
}

Bytes makeCurrentFolder(std::string_view folder, std::string_view message, std::uint16_t comNum) {
  const auto& stored = folderTemplate();
  const auto offset = kindOffset(stored);
  const auto placeholder = nrbf::find(stored, asBytes(kFolderPlaceholder));
  if (!placeholder || *placeholder < 1 || *placeholder - 1 < offset + 8) {
    throw LegacyClipboardCodecError::invalidEnvelope();
  }
  Bytes out(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(*placeholder - 1));
  patchEnvelope(out, offset, LegacyMgrProtocolCommand::setCurrentFolder, comNum);
  appendPrefixed(out, folder);
  append(out, ByteView(kStringRecordHead6));
  appendPrefixed(out, message);
  out.push_back(nrbf::messageEndRecord);
  return out;
}

LegacyClipboardValue decode(ByteView payload) {
  const auto kind = LegacyTSocketDataKindProbe::probeKind(payload);
  if (!kind) throw LegacyClipboardCodecError::invalidEnvelope();
  switch (*kind) {
    case LegacyMgrProtocolCommand::clipboardFile: return LegacyClipboardValue::files();
    case LegacyMgrProtocolCommand::clipboardImage: {
      const auto stream = pngStream(payload, 0);
      if (!stream || stream->size() > maximumImageBytes) throw LegacyClipboardCodecError::invalidEnvelope();
      return LegacyClipboardValue::imagePNG(Bytes(stream->begin(), stream->end()));
    }
    case LegacyMgrProtocolCommand::clipboardText: {
      const auto strings = objectStrings(payload);
      if (strings.count == 0) throw LegacyClipboardCodecError::invalidEnvelope();
      return LegacyClipboardValue::text(toString(strings.last));
    }
    default: throw LegacyClipboardCodecError::unsupportedValue();
  }
}

std::optional<CurrentFolder> decodeCurrentFolder(ByteView payload) {
  if (LegacyTSocketDataKindProbe::probeKind(payload) != LegacyMgrProtocolCommand::setCurrentFolder) {
    return std::nullopt;
  }
  const auto strings = objectStrings(payload);
  if (strings.count < 2) return std::nullopt;
  return CurrentFolder{toString(strings.secondToLast), toString(strings.last)};
}

std::optional<std::string> decodeStringDataClass(ByteView payload, std::uint32_t expectedKind) {
  if (LegacyTSocketDataKindProbe::probeKind(payload) != expectedKind) return std::nullopt;
  const auto strings = objectStrings(payload);
  if (strings.count == 0) return std::nullopt;
  return toString(strings.last);
}

}  // namespace LegacyClipboardCodec
}  // namespace vantrel

#include "Protocol/LegacyNrbfRecords.hpp"

#include <algorithm>
#include <array>

#include "Support/Text.hpp"

namespace vantrel::LegacyNrbf {
namespace {

constexpr std::array<std::uint8_t, 17> kSerializationHeader{
    0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

constexpr std::array<std::uint8_t, memberMarkerByteCount> kMemberMarker{
    0x07, 0x76, 0x61, 0x6C, 0x75, 0x65, 0x5F, 0x5F, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00};

constexpr std::uint64_t kMaximumPrefixedLength = 0x7FFF'FFFF;
constexpr std::uint32_t kMaximumObjectID = 1023;

bool isContinuation(std::uint8_t byte) noexcept { return (byte & 0xC0u) == 0x80u; }

// The length of the sequence a lead byte announces (0: not a lead byte).
std::size_t sequenceLength(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  return 0;
}

// Answers "are bytes [start, end) UTF-8?" for starts that mostly move forward. Decoding from a
// start runs to the first malformed sequence and is remembered as a run; UTF-8 synchronises on
// every lead byte, so a later start on a lead byte inside the run decodes to the same end, and
// [start, end) is UTF-8 exactly when `end` is within the run and not inside a sequence.
class UTF8Runs {
 public:
  explicit UTF8Runs(ByteView bytes) : bytes_(bytes) {}

  bool isValid(std::size_t start, std::size_t end) {
    if (start == end) return true;
    if (isContinuation(bytes_[start])) return false;
    if (start < runStart_ || start > runEnd_) decodeRun(start);
    return end <= runEnd_ && (end == runEnd_ || !isContinuation(bytes_[end]));
  }
  std::size_t decodedBytes() const noexcept { return decoded_; }

 private:
  void decodeRun(std::size_t start) {
    std::size_t position = start;
    while (position < bytes_.size()) {
      if (bytes_[position] < 0x80) {
        ++position;
        continue;
      }
      const auto length = sequenceLength(bytes_[position]);
      if (length == 0 || length > bytes_.size() - position ||
          !text::isValidUTF8(bytes_.subspan(position, length))) {
        break;
      }
      position += length;
    }
    decoded_ += position - start;
    runStart_ = start;
    runEnd_ = position;
  }

  ByteView bytes_;
  std::size_t runStart_ = 1;  // empty run until the first decode
  std::size_t runEnd_ = 0;
  std::size_t decoded_ = 0;
};

}  // namespace

ByteView serializationHeader() noexcept { return ByteView(kSerializationHeader); }
ByteView memberMarker() noexcept { return ByteView(kMemberMarker); }

std::optional<std::size_t> find(ByteView haystack, ByteView needle, std::size_t from) noexcept {
  if (needle.empty() || from > haystack.size() || haystack.size() - from < needle.size()) {
    return std::nullopt;
  }
  const auto begin = haystack.begin() + static_cast<std::ptrdiff_t>(from);
  const auto it = std::search(begin, haystack.end(), needle.begin(), needle.end());
  if (it == haystack.end()) return std::nullopt;
  return static_cast<std::size_t>(it - haystack.begin());
}

std::optional<std::size_t> memberMarkerEnd(ByteView bytes) noexcept {
  const auto at = find(bytes, memberMarker());
  if (!at) return std::nullopt;
  return *at + memberMarkerByteCount;
}

bool appendLengthPrefix(Bytes& out, std::size_t length) {
  if (static_cast<std::uint64_t>(length) > kMaximumPrefixedLength) return false;
  auto value = static_cast<std::uint32_t>(length);
  do {
    auto byte = static_cast<std::uint8_t>(value & 0x7Fu);
    value >>= 7;
    if (value != 0) byte = static_cast<std::uint8_t>(byte | 0x80u);
    out.push_back(byte);
  } while (value != 0);
  return true;
}

std::optional<LengthPrefix> readLengthPrefix(ByteView bytes, std::size_t offset) noexcept {
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    if (offset > bytes.size() || bytes.size() - offset <= i) return std::nullopt;
    const auto byte = bytes[offset + i];
    length |= static_cast<std::uint64_t>(byte & 0x7Fu) << (7 * i);
    if ((byte & 0x80u) == 0) return LengthPrefix{length, i + 1};
  }
  return std::nullopt;
}

StringRecords scanStringRecords(ByteView bytes, std::size_t from, std::uint64_t maximumLength) {
  StringRecords found;
  UTF8Runs utf8(bytes);
  std::size_t position = from;
  while (position < bytes.size()) {
    if (bytes[position] != binaryObjectStringRecord || bytes.size() - position < 6) {
      ++position;
      continue;
    }
    const auto objectID = *readU32LE(bytes, position + 1);
    const auto prefix = readLengthPrefix(bytes, position + 5);
    if (objectID >= 1 && objectID <= kMaximumObjectID && prefix && prefix->length <= maximumLength) {
      const auto start = position + 5 + prefix->byteCount;
      if (prefix->length <= bytes.size() - start) {
        const auto end = start + static_cast<std::size_t>(prefix->length);
        if (utf8.isValid(start, end)) {
          ++found.count;
          found.secondToLast = found.last;
          found.last = bytes.subspan(start, end - start);
          position = end;
          continue;
        }
      }
    }
    ++position;
  }
  found.decodedBytes = utf8.decodedBytes();
  return found;
}

void appendInt32(Bytes& out, std::int32_t value) { appendUInt32(out, static_cast<std::uint32_t>(value)); }

void appendUInt32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu));
}

void appendLengthPrefixedString(Bytes& out, std::string_view text) {
  (void)appendLengthPrefix(out, text.size());
  append(out, asBytes(text));
}

void appendSerializationHeader(Bytes& out) { append(out, serializationHeader()); }

void appendBinaryLibrary(Bytes& out, std::int32_t libraryID, std::string_view name) {
  out.push_back(binaryLibraryRecord);
  appendInt32(out, libraryID);
  appendLengthPrefixedString(out, name);
}

void appendClassWithMembersAndTypesHead(Bytes& out, std::int32_t objectID, std::string_view className,
                                        std::span<const std::string_view> memberNames,
                                        std::span<const std::uint8_t> binaryTypes) {
  out.push_back(classWithMembersAndTypesRecord);
  appendInt32(out, objectID);
  appendLengthPrefixedString(out, className);
  appendInt32(out, static_cast<std::int32_t>(memberNames.size()));
  for (const auto name : memberNames) appendLengthPrefixedString(out, name);
  out.insert(out.end(), binaryTypes.begin(), binaryTypes.end());
}

void appendBinaryObjectString(Bytes& out, std::int32_t objectID, std::string_view text) {
  out.push_back(binaryObjectStringRecord);
  appendInt32(out, objectID);
  appendLengthPrefixedString(out, text);
}

void appendMemberReference(Bytes& out, std::int32_t idRef) {
  out.push_back(memberReferenceRecord);
  appendInt32(out, idRef);
}

void appendProtocolEnum(Bytes& out, std::int32_t objectID, std::uint32_t kind) {
  static constexpr std::array<std::string_view, 1> members{"value__"};
  static constexpr std::array<std::uint8_t, 1> types{binaryTypePrimitive};
  appendClassWithMembersAndTypesHead(out, objectID, protocolEnumClassName, members, types);
  out.push_back(primitiveInt32);
  appendInt32(out, managerLibraryID);
  appendUInt32(out, kind);
}

Bytes commonSocketDataPrefix(std::uint32_t kind, std::int32_t comNum) {
  static constexpr std::array<std::string_view, 3> members{"Kind", "ComNum", "DataClass"};
  static constexpr std::array<std::uint8_t, 3> types{binaryTypeClass, binaryTypePrimitive, binaryTypeObject};
  Bytes out;
  out.reserve(236);
  appendSerializationHeader(out);
  appendBinaryLibrary(out, managerLibraryID, managerLibraryName);
  appendClassWithMembersAndTypesHead(out, 1, socketDataClassName, members, types);
  appendLengthPrefixedString(out, protocolEnumClassName);  // Kind: class type in library 2
  appendInt32(out, managerLibraryID);
  out.push_back(primitiveInt32);       // ComNum: Int32
  appendInt32(out, managerLibraryID);  // the class's own library
  appendProtocolEnum(out, -3, kind);
  appendInt32(out, comNum);
  return out;
}

}  // namespace vantrel::LegacyNrbf

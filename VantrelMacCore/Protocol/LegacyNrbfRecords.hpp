#pragma once

// A few MS-NRBF (.NET BinaryFormatter) record writers and the fixed byte sequences of the
// manager's TSocketData envelope. The agent never serialises arbitrary objects: these helpers
// only build the handful of stored envelope templates and append the variable tail records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::LegacyNrbf {

// Record types used by the templates.
inline constexpr std::uint8_t serializedStreamHeaderRecord = 0x00;
inline constexpr std::uint8_t classWithMembersAndTypesRecord = 0x05;
inline constexpr std::uint8_t binaryObjectStringRecord = 0x06;
inline constexpr std::uint8_t memberReferenceRecord = 0x09;
inline constexpr std::uint8_t objectNullRecord = 0x0A;
inline constexpr std::uint8_t messageEndRecord = 0x0B;
inline constexpr std::uint8_t binaryLibraryRecord = 0x0C;
inline constexpr std::uint8_t arraySinglePrimitiveRecord = 0x0F;

// Binary types of class members.
inline constexpr std::uint8_t binaryTypePrimitive = 0;
inline constexpr std::uint8_t binaryTypeString = 1;
inline constexpr std::uint8_t binaryTypeObject = 2;
inline constexpr std::uint8_t binaryTypeClass = 4;
inline constexpr std::uint8_t binaryTypePrimitiveArray = 7;

// Primitive types.
inline constexpr std::uint8_t primitiveByte = 2;
inline constexpr std::uint8_t primitiveInt32 = 8;
inline constexpr std::uint8_t primitiveInt64 = 9;
inline constexpr std::uint8_t primitiveDateTime = 13;

// The manager's assembly ("library 2" in every envelope) and the .NET drawing assembly.
inline constexpr std::string_view managerLibraryName =
    "VantrelMgr, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null";
inline constexpr std::string_view drawingLibraryName =
    "System.Drawing, Version=4.0.0.0, Culture=neutral, PublicKeyToken=b03f5f7f11d50a3a";
inline constexpr std::int32_t managerLibraryID = 2;
inline constexpr std::int32_t drawingLibraryID = 3;

inline constexpr std::string_view socketDataClassName = "Corvantis.TSocketData";
inline constexpr std::string_view protocolEnumClassName = "Corvantis.MgrProtocolEnum";

// The 17-byte serialization header: record 0, root ID 1, header ID -1, version 1.0.
ByteView serializationHeader() noexcept;
// "value__" as a length-prefixed name, binary type primitive, Int32, library 2: the last bytes
// of the inline enum object that holds `Kind`. `Kind` follows it directly, `ComNum` 4 bytes later.
ByteView memberMarker() noexcept;
inline constexpr std::size_t memberMarkerByteCount = 14;

// Offset just after the first member marker in the bytes, or nullopt when there is none.
std::optional<std::size_t> memberMarkerEnd(ByteView bytes) noexcept;

// Index of the first occurrence of `needle` at or after `from`, or nullopt.
std::optional<std::size_t> find(ByteView haystack, ByteView needle, std::size_t from = 0) noexcept;

// Appends an MS-NRBF length prefix: 7 bits per byte, least significant group first, the high
// bit set on every byte but the last. Values above 2^31 - 1 cannot be written (false, nothing
// appended).
bool appendLengthPrefix(Bytes& out, std::size_t length);

// Reads a length prefix of at most five bytes at `offset`. On success returns the length and
// the number of prefix bytes; nullopt when the data ends first or a sixth byte would be needed.
struct LengthPrefix {
  std::uint64_t length;
  std::size_t byteCount;
};
std::optional<LengthPrefix> readLengthPrefix(ByteView bytes, std::size_t offset) noexcept;

void appendInt32(Bytes& out, std::int32_t value);
void appendUInt32(Bytes& out, std::uint32_t value);
// Length prefix and UTF-8 bytes (the caller guarantees the length fits).
void appendLengthPrefixedString(Bytes& out, std::string_view text);

void appendSerializationHeader(Bytes& out);
void appendBinaryLibrary(Bytes& out, std::int32_t libraryID, std::string_view name);
// Record type, object ID, class name, member count and member names, then one binary type per
// member. The caller appends the additional type information and the library ID.
void appendClassWithMembersAndTypesHead(Bytes& out, std::int32_t objectID, std::string_view className,
                                        std::span<const std::string_view> memberNames,
                                        std::span<const std::uint8_t> binaryTypes);
void appendBinaryObjectString(Bytes& out, std::int32_t objectID, std::string_view text);
void appendMemberReference(Bytes& out, std::int32_t idRef);

// The inline `Corvantis.MgrProtocolEnum` object (record 0x05 with one Int32 member "value__")
// followed by its value: 49 bytes of record and the 4-byte `Kind`.
void appendProtocolEnum(Bytes& out, std::int32_t objectID, std::uint32_t kind);

// The string records (0x06, object ID 1…1023, length prefix, UTF-8) found by a byte scan from
// `from`: a byte that does not begin a well-formed record with a string that fits and is UTF-8 is
// skipped, and a record found is skipped whole. Readers use only the last one or two strings, so
// only those are kept. The scan is linear in the bytes whatever they hold: each byte is decoded
// as UTF-8 at most once (`decodedBytes` says how many were), because a string starting inside an
// already decoded run shares that run's end.
struct StringRecords {
  std::size_t count = 0;
  ByteView last;
  ByteView secondToLast;
  std::size_t decodedBytes = 0;
};
StringRecords scanStringRecords(ByteView bytes, std::size_t from, std::uint64_t maximumLength);

// Bytes 0 to 235 of the common envelope layout: header, library 2, the TSocketData class record
// with `DataClass` typed as object, the inline `Kind` enum (object ID -3), `Kind` and `ComNum`.
// The caller appends the `DataClass` records and the message end.
Bytes commonSocketDataPrefix(std::uint32_t kind, std::int32_t comNum);

}  // namespace vantrel::LegacyNrbf

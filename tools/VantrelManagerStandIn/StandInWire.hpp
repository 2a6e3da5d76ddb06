#pragma once

// The manager's records written and read byte by byte for the stand-in: frame commands, the input
// packet, the file record and the string envelope's text. Written from the wire tables, never
// through the agent's own codecs.

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/System/Crypto.hpp"
#include "Support/Bytes.hpp"

namespace vantrel::standin {

inline constexpr std::uint8_t basicCommand = 1;
inline constexpr std::uint8_t screenUnitCommand = 4;
inline constexpr std::uint8_t inputCommand = 7;
inline constexpr std::uint8_t authCommand = 8;
inline constexpr std::uint8_t registrationCommand = 9;
inline constexpr std::uint8_t fileInfoCommand = 10;
inline constexpr std::uint8_t fileDataCommand = 12;
inline constexpr std::uint8_t fileEndCommand = 15;
inline constexpr std::size_t fileRecordSize = 632;
inline constexpr std::uint8_t remoteMouseCommand = 50;
inline constexpr std::uint32_t comInfoReplyKind = 82;

// Lower-case hexadecimal of a digest.
std::string hex(const crypto::Sha256Digest& digest);
// The 20-byte input record, little-endian.
Bytes inputPacket(std::uint16_t comNum, std::uint8_t mode, std::int32_t x, std::int32_t y);
// The 632-byte file record (one file of one), little-endian, strings zero-padded.
Bytes fileRecord(std::uint16_t comNum, std::uint64_t size, const std::string& name,
                 const std::string& folder);
// A zero-terminated text field of a record.
std::string fixedText(ByteView record, std::size_t at, std::size_t size);
// The first string record after the 236-byte prefix of a string envelope.
std::optional<std::string> firstString(ByteView envelope);

}  // namespace vantrel::standin

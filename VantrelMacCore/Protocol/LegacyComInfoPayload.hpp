#pragma once

// The reply to GET_COMINFO: a stored 679-byte TSocketData envelope whose `DataClass` is the
// manager's "Corvantis.TBasicInfo" object, with the snapshot's numbers and two strings patched in.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "Support/Bytes.hpp"

namespace vantrel::LegacyComInfoPayload {

inline constexpr std::size_t templateByteCount = 679;
inline constexpr std::size_t socketDataComNumOffset = 232;
inline constexpr std::size_t basicInfoComNumOffset = 524;
inline constexpr std::size_t widthOffset = 565;
inline constexpr std::size_t heightOffset = 569;
inline constexpr std::size_t cpuUsageOffset = 600;
inline constexpr std::size_t gpuUsageOffset = 601;
inline constexpr std::size_t ramUsageOffset = 602;
inline constexpr std::size_t ramSizeOffset = 603;
inline constexpr std::size_t hddSizeOffset = 607;
inline constexpr std::size_t hddRemainOffset = 611;
inline constexpr std::size_t processUsedMemoryOffset = 619;
inline constexpr std::size_t screenRateOffset = 666;
inline constexpr std::size_t screenProtocolVersionOffset = 670;
inline constexpr std::size_t mobileProxyProtocolVersionOffset = 674;
inline constexpr std::size_t externalIPRecordOffset = 573;
inline constexpr std::uint32_t externalIPObjectID = 7;
inline constexpr std::string_view externalIPPlaceholder = "000.000.000.000";
inline constexpr std::size_t usedTimeRecordOffset = 627;
inline constexpr std::uint32_t usedTimeObjectID = 9;
inline constexpr std::string_view usedTimePlaceholder = "000000h 00m";
inline constexpr std::size_t maxBinaryObjectStringUTF8Length = 127;

// The stored envelope (Kind 82, ComNum 0, placeholders in place), built once.
const Bytes& templateBytes();

// The reply envelope for a snapshot; never fails. A string longer than 127 UTF-8 bytes keeps
// its placeholder.
Bytes makePayload(std::uint16_t comNum, const LegacyComInfoSnapshot& snapshot);

// Replaces the string record at `recordOffset` (0x06, object ID, one-byte length, placeholder)
// by one holding `newValue`; false, data unchanged, when any check fails.
bool replaceBinaryObjectString(Bytes& data, std::int64_t recordOffset, std::uint32_t expectedObjectID,
                               std::string_view expectedPlaceholder, std::string_view newValue);

// Little-endian helpers. An offset outside the data is a programming error (checked, aborts).
void writeUInt32LittleEndian(std::uint32_t value, Bytes& data, std::size_t offset);
void writeInt32LittleEndian(std::int32_t value, Bytes& data, std::size_t offset);
void writeInt64LittleEndian(std::int64_t value, Bytes& data, std::size_t offset);
std::int32_t readInt32LittleEndian(ByteView data, std::size_t offset);
std::uint32_t readUInt32LittleEndian(ByteView data, std::size_t offset);
std::int64_t readInt64LittleEndian(ByteView data, std::size_t offset);

std::int32_t clampedInt32(std::int64_t value) noexcept;
std::int32_t clampedInt32FromBytes(std::int64_t value) noexcept;
std::uint8_t clampedPercentByte(std::int64_t value) noexcept;

}  // namespace vantrel::LegacyComInfoPayload

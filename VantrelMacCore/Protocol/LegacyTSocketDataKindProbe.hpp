#pragma once

// The manager's TSocketData envelope: its legacy command codes and a probe that recognises an
// envelope and reads its `Kind` without a general MS-NRBF parser.
//
// Common layout (little-endian): 0 serialization header (17 bytes), 17 library 2 (71),
// 88 TSocketData class record (91), 179 inline Corvantis.MgrProtocolEnum object (49; its last
// 14 bytes, 214…227, are the member marker), 228 `Kind` (UInt32), 232 `ComNum` (Int32),
// 236 the `DataClass` records, then the message end 0x0B.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"

namespace vantrel {

// The manager's legacy command codes (the envelope's `Kind`).
namespace LegacyMgrProtocolCommand {
inline constexpr std::uint32_t getComInfo = 16;
inline constexpr std::uint32_t getScreen = 21;
inline constexpr std::uint32_t getScreenEnd = 24;
inline constexpr std::uint32_t getScreenInfo = 25;
inline constexpr std::uint32_t getServerVer = 26;
inline constexpr std::uint32_t getScreenEndKeyCheck = 29;
inline constexpr std::uint32_t frameControl = 32;
inline constexpr std::uint32_t frameControl2 = 33;
inline constexpr std::uint32_t getCurrentFolder = 34;
inline constexpr std::uint32_t setCurrentFolder = 35;
inline constexpr std::uint32_t getManagerControlV = 36;
inline constexpr std::uint32_t setOption = 37;
inline constexpr std::uint32_t programOff = 38;
inline constexpr std::uint32_t reboot = 39;
inline constexpr std::uint32_t shutdown = 40;
inline constexpr std::uint32_t frameControl2A = 42;
inline constexpr std::uint32_t keyboard = 49;
inline constexpr std::uint32_t mouse = 50;
inline constexpr std::uint32_t multiFileTransfer = 51;
inline constexpr std::uint32_t multiFileTransferCancel = 54;
inline constexpr std::uint32_t clipboardText = 65;
inline constexpr std::uint32_t clipboardImage = 66;
inline constexpr std::uint32_t clipboardFile = 67;
inline constexpr std::uint32_t getSingleFiles = 128;
inline constexpr std::uint32_t setSingleCommands = 129;

// The manager's own name of a code ("GET_SCREEN"); "UNKNOWN_0x11" / "UNKNOWN_0x12C" otherwise.
std::string displayName(std::uint32_t code);
// "0x%02X" below 256, else "0x%X".
std::string hexString(std::uint32_t code);
}  // namespace LegacyMgrProtocolCommand

namespace LegacyTSocketDataKindProbe {
inline constexpr std::size_t kindFieldOffset = 228;
inline constexpr std::size_t kindFieldByteCount = 4;
inline constexpr std::size_t minimumPayloadByteCount = 232;

// The `Kind` of a TSocketData envelope, or nullopt when the payload is not recognised as one:
// at least 232 bytes, the serialization header first, the class name "Corvantis.TSocketData"
// somewhere, and 8 bytes (`Kind`, `ComNum`) after the first member marker.
std::optional<std::uint32_t> probeKind(ByteView payload) noexcept;
}  // namespace LegacyTSocketDataKindProbe

}  // namespace vantrel

#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel {

// Every numeric and literal constant of the manager frame protocol.
namespace VantrelProtocol {
inline constexpr std::uint8_t headerBasicCommand = 1;
inline constexpr std::uint8_t headerScreenCommand = 4;
inline constexpr std::uint8_t headerInputCommand = 7;
inline constexpr std::uint8_t headerStartAuthCommand = 8;
inline constexpr std::uint8_t headerStartConnectCommand = 9;
inline constexpr std::uint8_t headerFileInfoCommand = 10;
inline constexpr std::uint8_t headerFileDataCommand = 12;
inline constexpr std::uint8_t headerFileDataCompleteCommand = 15;
inline constexpr std::uint8_t headerFileCancelCommand = 21;
inline constexpr std::size_t maxChunkPayloadSize = 60000;
inline constexpr std::size_t maxFrameSize = 60012;
inline constexpr std::uint16_t defaultDirectTCPPort = 65333;
inline constexpr std::uint64_t defaultAuthTimeoutNanoseconds = 5'000'000'000ULL;
inline constexpr std::string_view directAuthRequestPrefix = "R_";
inline constexpr std::uint8_t authSuccessASCII = 0x31;
inline constexpr std::uint8_t authFailureASCII = 0x30;
inline constexpr std::uint8_t connectRegistrationPayloadASCII = 0x31;
inline constexpr std::uint16_t managerUnspecifiedComNum = 0xFFFF;
}  // namespace VantrelProtocol

namespace VantrelMacCoreInfo {
inline constexpr std::string_view productName = "VantrelMac";
inline constexpr std::string_view moduleName = "VantrelMacCore";
inline constexpr std::string_view minimumMacOS = "13.0";
}  // namespace VantrelMacCoreInfo

}  // namespace vantrel

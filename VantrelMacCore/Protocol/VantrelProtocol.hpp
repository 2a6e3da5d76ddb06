#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// The numeric constants of the manager frame protocol.
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
inline constexpr std::uint8_t authSuccessASCII = 0x31;
inline constexpr std::uint8_t authFailureASCII = 0x30;
inline constexpr std::uint8_t connectRegistrationPayloadASCII = 0x31;
}  // namespace VantrelProtocol

}  // namespace vantrel

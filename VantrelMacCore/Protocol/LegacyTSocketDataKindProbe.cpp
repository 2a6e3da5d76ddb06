#include "Protocol/LegacyTSocketDataKindProbe.hpp"

#include <fmt/format.h>

#include "Protocol/LegacyNrbfRecords.hpp"

namespace vantrel {

namespace LegacyMgrProtocolCommand {

std::string displayName(std::uint32_t code) {
  switch (code) {
    case getComInfo: return "GET_COMINFO";
    case getScreen: return "GET_SCREEN";
    case getScreenEnd: return "GET_SCREEN_END";
    case getScreenInfo: return "GET_SCREEN_INFO";
    case getServerVer: return "GET_SERVERVER";
    case getScreenEndKeyCheck: return "GET_SCREEN_END_KEYCHECK";
    case frameControl: return "FRAME_CONTROL";
    case frameControl2: return "FRAME_CONTROL_21";
    case getCurrentFolder: return "GET_CURRENT_FOLDER";
    case setCurrentFolder: return "SET_CURRENT_FOLDER";
    case getManagerControlV: return "GET_MGR_CTRL_V";
    case setOption: return "CMD_SC_SET_OPTION";
    case programOff: return "PROGRAM_OFF";
    case reboot: return "REBOOT";
    case shutdown: return "SHUTDOWN";
    case frameControl2A: return "FRAME_CONTROL_2A";
    case keyboard: return "KEYBOARD";
    case mouse: return "MOUSE";
    case multiFileTransfer: return "MULTI_TRANS_FILE";
    case multiFileTransferCancel: return "MULTI_TRANS_FILE_CANCEL";
    case clipboardText: return "CLIPBOARD_TEXT";
    case clipboardImage: return "CLIPBOARD_IMAGE";
    case clipboardFile: return "CLIPBOARD_FILE";
    case getSingleFiles: return "GET_SINGLE_FILES";
    case setSingleCommands: return "SET_SINGLE_CMDS";
    default: break;
  }
  return code < 256 ? fmt::format("UNKNOWN_0x{:02X}", code) : fmt::format("UNKNOWN_0x{:X}", code);
}

std::string hexString(std::uint32_t code) {
  return code < 256 ? fmt::format("0x{:02X}", code) : fmt::format("0x{:X}", code);
}

}  // namespace LegacyMgrProtocolCommand

namespace LegacyTSocketDataKindProbe {

std::optional<std::uint32_t> probeKind(ByteView payload) noexcept {
  if (payload.size() < minimumPayloadByteCount) return std::nullopt;
  if (!startsWith(payload, LegacyNrbf::serializationHeader())) return std::nullopt;
  if (!LegacyNrbf::find(payload, asBytes(LegacyNrbf::socketDataClassName))) return std::nullopt;
  const auto markerEnd = LegacyNrbf::memberMarkerEnd(payload);
  if (!markerEnd || payload.size() - *markerEnd < 8) return std::nullopt;
  return readU32LE(payload, *markerEnd);
}

}  // namespace LegacyTSocketDataKindProbe

}  // namespace vantrel

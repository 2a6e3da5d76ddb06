#include "Session/DirectAuthEvent.hpp"

#include <fmt/format.h>

#include "Support/Text.hpp"

namespace vantrel {
namespace {

using namespace DirectAuthEventKinds;

// Hosts, paths and texts come from the manager, the login server or a file: escaped and capped,
// so that none can start a log line of its own.
std::string outside(std::string_view text) { return text::loggable(text); }

const char* word(bool value) { return value ? "true" : "false"; }

std::string legacyCode(std::uint32_t code) {
  return code < 256 ? fmt::format("0x{:02X}", code) : fmt::format("0x{:X}", code);
}

struct Render {
  std::string operator()(const TcpConnectAttempt& e) const {
    return fmt::format("TCP connect attempt to {}:{}", outside(e.host), e.port);
  }
  std::string operator()(const TcpConnectFailure& e) const {
    return "TCP connect failed: " + outside(e.text);
  }
  std::string operator()(const RegistrationCommandSent& e) const {
    return fmt::format("Registration command 9 sent (comNum={})", e.comNum);
  }
  std::string operator()(const ManagerFrame& e) const {
    return fmt::format("Manager frame: command={}, payloadBytes={}, comNum={}",
                       static_cast<unsigned>(e.command), e.payloadByteCount, e.comNum);
  }
  std::string operator()(const LegacyManagerCommand& e) const {
    return fmt::format("Legacy command: {} {}, payloadBytes={}, comNum={}", legacyCode(e.kind),
                       outside(e.name), e.payloadByteCount, e.comNum);
  }
  std::string operator()(const LegacyComInfoResponseSent& e) const {
    return fmt::format("Legacy GET_COMINFO response sent (comNum={}, payloadBytes={}, {})", e.comNum,
                       e.payloadByteCount, e.summaryFragment);
  }
  std::string operator()(const LegacyComInfoSnapshotFailed& e) const {
    return "Legacy GET_COMINFO snapshot failed (using fallback): " + outside(e.text);
  }
  std::string operator()(const LegacyComInfoResponseFailed& e) const {
    return "Legacy GET_COMINFO response failed: " + outside(e.text);
  }
  std::string operator()(const ScreenRequest& e) const {
    return fmt::format("GET_SCREEN request: source={}x{}, target={}x{}, cursor={}, accel={}, comNum={}",
                       e.sourceWidth, e.sourceHeight, e.targetWidth, e.targetHeight, word(e.showsCursor),
                       e.accel, e.comNum);
  }
  std::string operator()(const ScreenInfoResponseSent& e) const {
    return fmt::format(
        "GET_SCREEN_INFO response sent (comNum={}, payloadBytes={}, source={}x{}, target={}x{})", e.comNum,
        e.payloadByteCount, e.sourceWidth, e.sourceHeight, e.targetWidth, e.targetHeight);
  }
  std::string operator()(const ScreenCaptureStarted& e) const {
    return fmt::format("Screen capture started ({}x{} @ {} fps)", e.targetWidth, e.targetHeight, e.fps);
  }
  std::string operator()(const ScreenFirstEncodedFrame& e) const {
    return fmt::format("First encoded screen frame sent ({}, bytes={}, chunks={})",
                       e.isKeyframe ? "keyframe" : "delta", e.byteCount, e.chunkCount);
  }
  std::string operator()(const ScreenFrameStats& e) const {
    return fmt::format("Screen frame stats: frames={}, bytes={}, keyframes={}", e.framesSent, e.bytesSent,
                       e.keyframes);
  }
  std::string operator()(const ScreenStopped& e) const {
    return "Screen stream stopped: " + outside(e.reason);
  }
  std::string operator()(const ScreenPermissionDenied& e) const {
    return "Screen Recording permission denied (control session remains connected): " + outside(e.text);
  }
  std::string operator()(const ScreenStreamError& e) const {
    return "Screen stream error (stream stopped; control session remains when possible): " + outside(e.text);
  }
  std::string operator()(const InputEventApplied& e) const {
    return fmt::format("Remote input applied: kind={}, count={}", e.kind, e.count);
  }
  std::string operator()(const InputPermissionDenied& e) const {
    return "Accessibility permission denied (screen/control TCP remains active): " + outside(e.text);
  }
  std::string operator()(const InputPacketRejected& e) const {
    return "Remote input ignored: " + outside(e.text);
  }
  std::string operator()(const ClipboardSent& e) const {
    return fmt::format("Clipboard sent: kind={}, bytes={}, items={}", e.kind, e.byteCount, e.itemCount);
  }
  std::string operator()(const ClipboardReceived& e) const {
    return fmt::format("Clipboard received: kind={}, bytes={}, items={}", e.kind, e.byteCount, e.itemCount);
  }
  std::string operator()(const ClipboardRejected& e) const {
    return "Clipboard payload ignored: " + outside(e.text);
  }
  std::string operator()(const FileTransferStarted& e) const {
    return fmt::format("File transfer started: direction={}, files={}", e.direction, e.total);
  }
  std::string operator()(const FileTransferProgress& e) const {
    return fmt::format("File transfer: direction={}, file={}/{}, bytes={}/{}", e.direction, e.current,
                       e.total, e.bytes, e.totalBytes);
  }
  std::string operator()(const FileTransferCompleted& e) const {
    return fmt::format("File transfer completed: direction={}, files={}", e.direction, e.total);
  }
  std::string operator()(const FileTransferFailed& e) const {
    return "File transfer failed: " + outside(e.text);
  }
  std::string operator()(const SingleFileListSent& e) const {
    return fmt::format("Single-file list sent: path={}, items={}", outside(e.path), e.itemCount);
  }
  std::string operator()(const SingleFileListFailed& e) const {
    return "Single-file list failed: " + outside(e.text);
  }
  std::string operator()(const SingleFileCommandCompleted& e) const {
    return fmt::format("Single-file command completed: command={}", e.command);
  }
  std::string operator()(const SingleFileCommandFailed& e) const {
    return "Single-file command failed: " + outside(e.text);
  }
  std::string operator()(const SystemCommandAccepted& e) const {
    return "System command accepted: " + outside(e.command);
  }
  std::string operator()(const SystemCommandFailed& e) const {
    return "System command failed: " + outside(e.command) + ", error=" + outside(e.detail);
  }
  std::string operator()(const Error& e) const { return "Error: " + outside(e.text); }
  std::string operator()(const TcpConnectReady&) const { return "TCP connection ready"; }
  std::string operator()(const AuthCommandSent&) const { return "Auth command 8 sent"; }
  std::string operator()(const AuthAccepted&) const { return "Auth accepted"; }
  std::string operator()(const AuthRejected&) const { return "Auth rejected"; }
  std::string operator()(const ManagerRegistrationComplete&) const { return "Manager registration complete"; }
  std::string operator()(const PasteDestinationSent&) const { return "Paste destination sent to manager"; }
  std::string operator()(const Disconnect&) const { return "Disconnected"; }
};

}  // namespace

std::string directAuthEventMessage(const DirectAuthEvent::Kind& kind) { return std::visit(Render{}, kind); }

std::string DirectAuthEvent::message() const { return directAuthEventMessage(kind); }

DirectAuthEvent DirectAuthEvent::now(Kind kind) {
  return DirectAuthEvent{std::chrono::system_clock::now(), std::move(kind)};
}

}  // namespace vantrel

#pragma once

// What a manager session reports: a timestamp and one of forty kinds, each rendered as one
// English log line by `message()`.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

namespace vantrel {

namespace DirectAuthEventKinds {

#define VANTREL_EVENT_EQ(T) friend bool operator==(const T&, const T&) = default

struct TcpConnectAttempt {
  std::string host;
  std::uint16_t port = 0;
  VANTREL_EVENT_EQ(TcpConnectAttempt);
};
struct TcpConnectFailure {
  std::string text;
  VANTREL_EVENT_EQ(TcpConnectFailure);
};
struct RegistrationCommandSent {
  std::uint16_t comNum = 0;
  VANTREL_EVENT_EQ(RegistrationCommandSent);
};
struct ManagerFrame {
  std::uint8_t command = 0;
  long long payloadByteCount = 0;
  std::uint16_t comNum = 0;
  VANTREL_EVENT_EQ(ManagerFrame);
};
struct LegacyManagerCommand {
  std::uint32_t kind = 0;
  std::string name;
  long long payloadByteCount = 0;
  std::uint16_t comNum = 0;
  VANTREL_EVENT_EQ(LegacyManagerCommand);
};
// The summary of the system-information reply travels as its diagnostic fragment ("ip=…,
// 1920x1080, cpu=…"), which is all the line shows of it.
struct LegacyComInfoResponseSent {
  std::uint16_t comNum = 0;
  long long payloadByteCount = 0;
  std::string summaryFragment;
  VANTREL_EVENT_EQ(LegacyComInfoResponseSent);
};
struct LegacyComInfoSnapshotFailed {
  std::string text;
  VANTREL_EVENT_EQ(LegacyComInfoSnapshotFailed);
};
struct LegacyComInfoResponseFailed {
  std::string text;
  VANTREL_EVENT_EQ(LegacyComInfoResponseFailed);
};
struct ScreenRequest {
  long long sourceWidth = 0;
  long long sourceHeight = 0;
  long long targetWidth = 0;
  long long targetHeight = 0;
  bool showsCursor = false;
  std::int32_t accel = 0;
  std::uint16_t comNum = 0;
  VANTREL_EVENT_EQ(ScreenRequest);
};
struct ScreenInfoResponseSent {
  std::uint16_t comNum = 0;
  long long payloadByteCount = 0;
  long long sourceWidth = 0;
  long long sourceHeight = 0;
  long long targetWidth = 0;
  long long targetHeight = 0;
  VANTREL_EVENT_EQ(ScreenInfoResponseSent);
};
struct ScreenCaptureStarted {
  long long targetWidth = 0;
  long long targetHeight = 0;
  long long fps = 0;
  VANTREL_EVENT_EQ(ScreenCaptureStarted);
};
struct ScreenFirstEncodedFrame {
  long long byteCount = 0;
  long long chunkCount = 0;
  bool isKeyframe = false;
  VANTREL_EVENT_EQ(ScreenFirstEncodedFrame);
};
struct ScreenFrameStats {
  long long framesSent = 0;
  long long bytesSent = 0;
  long long keyframes = 0;
  VANTREL_EVENT_EQ(ScreenFrameStats);
};
struct ScreenStopped {
  std::string reason;
  VANTREL_EVENT_EQ(ScreenStopped);
};
struct ScreenPermissionDenied {
  std::string text;
  VANTREL_EVENT_EQ(ScreenPermissionDenied);
};
struct ScreenStreamError {
  std::string text;
  VANTREL_EVENT_EQ(ScreenStreamError);
};
struct InputEventApplied {
  std::string kind;
  long long count = 0;
  VANTREL_EVENT_EQ(InputEventApplied);
};
struct InputPermissionDenied {
  std::string text;
  VANTREL_EVENT_EQ(InputPermissionDenied);
};
struct InputPacketRejected {
  std::string text;
  VANTREL_EVENT_EQ(InputPacketRejected);
};
struct ClipboardSent {
  std::string kind;
  long long byteCount = 0;
  long long itemCount = 0;
  VANTREL_EVENT_EQ(ClipboardSent);
};
struct ClipboardReceived {
  std::string kind;
  long long byteCount = 0;
  long long itemCount = 0;
  VANTREL_EVENT_EQ(ClipboardReceived);
};
struct ClipboardRejected {
  std::string text;
  VANTREL_EVENT_EQ(ClipboardRejected);
};
struct FileTransferStarted {
  std::string direction;
  long long total = 0;
  VANTREL_EVENT_EQ(FileTransferStarted);
};
struct FileTransferProgress {
  std::string direction;
  long long current = 0;
  long long total = 0;
  std::int64_t bytes = 0;
  std::int64_t totalBytes = 0;
  VANTREL_EVENT_EQ(FileTransferProgress);
};
struct FileTransferCompleted {
  std::string direction;
  long long total = 0;
  VANTREL_EVENT_EQ(FileTransferCompleted);
};
struct FileTransferFailed {
  std::string text;
  VANTREL_EVENT_EQ(FileTransferFailed);
};
struct SingleFileListSent {
  std::string path;
  long long itemCount = 0;
  VANTREL_EVENT_EQ(SingleFileListSent);
};
struct SingleFileListFailed {
  std::string text;
  VANTREL_EVENT_EQ(SingleFileListFailed);
};
struct SingleFileCommandCompleted {
  long long command = 0;
  VANTREL_EVENT_EQ(SingleFileCommandCompleted);
};
struct SingleFileCommandFailed {
  std::string text;
  VANTREL_EVENT_EQ(SingleFileCommandFailed);
};
struct SystemCommandAccepted {
  std::string command;
  VANTREL_EVENT_EQ(SystemCommandAccepted);
};
struct SystemCommandFailed {
  std::string command;
  std::string detail;
  VANTREL_EVENT_EQ(SystemCommandFailed);
};
struct Error {
  std::string text;
  VANTREL_EVENT_EQ(Error);
};
struct TcpConnectReady {
  VANTREL_EVENT_EQ(TcpConnectReady);
};
struct AuthCommandSent {
  VANTREL_EVENT_EQ(AuthCommandSent);
};
struct AuthAccepted {
  VANTREL_EVENT_EQ(AuthAccepted);
};
struct AuthRejected {
  VANTREL_EVENT_EQ(AuthRejected);
};
struct ManagerRegistrationComplete {
  VANTREL_EVENT_EQ(ManagerRegistrationComplete);
};
struct PasteDestinationSent {
  VANTREL_EVENT_EQ(PasteDestinationSent);
};
struct Disconnect {
  VANTREL_EVENT_EQ(Disconnect);
};

#undef VANTREL_EVENT_EQ

}  // namespace DirectAuthEventKinds

struct DirectAuthEvent {
  // The forty kinds, in their fixed order (the variant index is the kind's number).
  using Kind = std::variant<
      DirectAuthEventKinds::TcpConnectAttempt, DirectAuthEventKinds::TcpConnectFailure,
      DirectAuthEventKinds::RegistrationCommandSent, DirectAuthEventKinds::ManagerFrame,
      DirectAuthEventKinds::LegacyManagerCommand, DirectAuthEventKinds::LegacyComInfoResponseSent,
      DirectAuthEventKinds::LegacyComInfoSnapshotFailed, DirectAuthEventKinds::LegacyComInfoResponseFailed,
      DirectAuthEventKinds::ScreenRequest, DirectAuthEventKinds::ScreenInfoResponseSent,
      DirectAuthEventKinds::ScreenCaptureStarted, DirectAuthEventKinds::ScreenFirstEncodedFrame,
      DirectAuthEventKinds::ScreenFrameStats, DirectAuthEventKinds::ScreenStopped,
      DirectAuthEventKinds::ScreenPermissionDenied, DirectAuthEventKinds::ScreenStreamError,
      DirectAuthEventKinds::InputEventApplied, DirectAuthEventKinds::InputPermissionDenied,
      DirectAuthEventKinds::InputPacketRejected, DirectAuthEventKinds::ClipboardSent,
      DirectAuthEventKinds::ClipboardReceived, DirectAuthEventKinds::ClipboardRejected,
      DirectAuthEventKinds::FileTransferStarted, DirectAuthEventKinds::FileTransferProgress,
      DirectAuthEventKinds::FileTransferCompleted, DirectAuthEventKinds::FileTransferFailed,
      DirectAuthEventKinds::SingleFileListSent, DirectAuthEventKinds::SingleFileListFailed,
      DirectAuthEventKinds::SingleFileCommandCompleted, DirectAuthEventKinds::SingleFileCommandFailed,
      DirectAuthEventKinds::SystemCommandAccepted, DirectAuthEventKinds::SystemCommandFailed,
      DirectAuthEventKinds::Error, DirectAuthEventKinds::TcpConnectReady,
      DirectAuthEventKinds::AuthCommandSent, DirectAuthEventKinds::AuthAccepted,
      DirectAuthEventKinds::AuthRejected, DirectAuthEventKinds::ManagerRegistrationComplete,
      DirectAuthEventKinds::PasteDestinationSent, DirectAuthEventKinds::Disconnect>;

  std::chrono::system_clock::time_point timestamp;
  Kind kind;

  // An event stamped with the current time.
  static DirectAuthEvent now(Kind kind);

  // The English log line; never empty.
  std::string message() const;

  friend bool operator==(const DirectAuthEvent&, const DirectAuthEvent&) = default;
};

static_assert(std::variant_size_v<DirectAuthEvent::Kind> == 40);

// The line of one kind (what `DirectAuthEvent::message()` shows).
std::string directAuthEventMessage(const DirectAuthEvent::Kind& kind);

}  // namespace vantrel

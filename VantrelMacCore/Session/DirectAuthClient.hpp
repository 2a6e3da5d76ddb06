#pragma once

// The manager session: one actor per manager connection. It connects, authenticates and
// registers, reads the manager's frames one at a time and serves them (input, clipboard, folder
// and system-information requests, the development channel, the screen and file requests), and
// reports everything it does as `DirectAuthEvent`s.
//
// The session lives on its transport's strand: every public operation hops there, and the
// transport's own work and the screen packet sender run there too, so nothing of the session is
// ever touched from two threads at once. Across every suspension the state may have changed;
// each step re-checks what it needs.

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/AIPairingBinding.hpp"
#include "AIChannel/MacAIChannel.hpp"
#include "Activity/UpdateActivityGate.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "Protocol/VantrelFrame.hpp"
#include "Protocol/VantrelFrameStreamDecoder.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/DirectAuthEventSystemLog.hpp"
#include "Session/DirectAuthTypes.hpp"
#include "Session/IncomingFileReceiver.hpp"
#include "Session/LowLatencyScreenPacketSender.hpp"
#include "Session/MacSystemCommandExecutor.hpp"
#include "Session/ManagerMessageJoiner.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "Session/ReceiverBound.hpp"
#include "Session/RemoteInputInjecting.hpp"
#include "Session/ScreenStreamingProviding.hpp"
#include "Session/ScreenUnitMailbox.hpp"
#include "Session/SingleFileRequests.hpp"
#include "Support/Async.hpp"
#include "Support/Uuid.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

class DirectAuthClient : public std::enable_shared_from_this<DirectAuthClient> {
 public:
  using EventHandler = std::function<void(const DirectAuthEvent&)>;
  using ClipboardHandler = std::function<void(const LegacyClipboardValue&)>;
  // Yields the folder into which files pasted by the manager go.
  using PasteDestinationProvider = std::function<Awaitable<std::string>()>;
  using AIConfigurationReload = std::function<AIChannelConfiguration()>;

  struct Collaborators {
    std::shared_ptr<NetworkTransporting> transport;
    std::shared_ptr<DirectAuthSystemLogging> systemLog;
    std::shared_ptr<LegacyComInfoSnapshotProviding> comInfoSnapshotProvider;
    std::shared_ptr<ScreenStreamingProviding> screenStreamer;
    std::shared_ptr<RemoteInputInjecting> inputInjector;
    std::shared_ptr<SystemCommandExecuting> systemCommandExecutor;
    AIChannelConfiguration aiChannelConfiguration;
    std::shared_ptr<AISecureSessionController> secureAISession;  // none in the application
    AIConfigurationReload reloadAIConfiguration;                 // optional
    std::shared_ptr<AIAccountLoginContext> aiAccountContext;     // optional
    std::shared_ptr<UpdateActivityGate> updateActivityGate;      // the application passes shared()
  };

  // Stores the collaborators and starts idle; opens nothing and emits nothing.
  static std::shared_ptr<DirectAuthClient> create(Collaborators collaborators);
  ~DirectAuthClient();
  DirectAuthClient(const DirectAuthClient&) = delete;
  DirectAuthClient& operator=(const DirectAuthClient&) = delete;

  // The handlers and the provider run on their receiver's executor (posted, in order), never on
  // the session's strand. A null function removes the current one.
  Awaitable<void> setEventHandler(Executor receiver, EventHandler handler);
  // "mcp_manager_not_connected", "mcp_disabled", "mcp_connected_existing_manager" or
  // "mcp_account_login_required".
  Awaitable<std::string> currentMCPStatus();
  // Invalidates the held development-channel lease; the context is used at the next registration.
  Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context);
  Awaitable<void> setClipboardHandler(Executor receiver, ClipboardHandler handler);
  Awaitable<void> setPasteDestinationProvider(Executor receiver, PasteDestinationProvider provider);
  // Remembers the file URLs ("file:…") among the given URLs, in order; sends nothing.
  Awaitable<void> updateLocalClipboardFiles(std::vector<std::string> urls);

  // Clipboard to the manager. Without effect unless authenticated; throw the codec's error or
  // the transport's error, without an event.
  Awaitable<void> sendLocalClipboardText(std::string text);
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png);
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls);
  Awaitable<void> reportClipboardBridgeFailure(std::string detail);

  Awaitable<DirectAuthState> currentState();
  Awaitable<std::optional<DirectAuthError>> currentLastError();

  // Connects, authenticates and registers; returns with the receive loop running. Throws
  // `DirectAuthError`.
  Awaitable<void> connectAndAuthenticate(DirectAuthConfiguration configuration);
  // Never throws.
  Awaitable<void> disconnect();

  // The strand the session runs on (its transport's).
  Executor executor() const { return strand_; }

 private:
  explicit DirectAuthClient(Collaborators collaborators);

  using TaskTokenPtr = std::shared_ptr<TaskToken>;
  using Lease = std::shared_ptr<UpdateActivityGate::Lease>;

  // ---- events ----
  void emit(DirectAuthEvent::Kind kind);

  // ---- connection (connect, authenticate, register, disconnect) ----
  static Awaitable<void> connectBody(std::shared_ptr<DirectAuthClient> self,
                                     DirectAuthConfiguration configuration);
  static Awaitable<void> disconnectBody(std::shared_ptr<DirectAuthClient> self);
  Awaitable<void> runConnectionAttempt(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<void> connectWithTimeout(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<void> performAuthentication(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<VantrelFrame> receiveAuthResponse(std::uint64_t timeoutNanoseconds, TaskTokenPtr attempt);
  Awaitable<VantrelFrame> collectOneFrame();
  void validateAuthResponse(const VantrelFrame& frame);
  Awaitable<void> performRegistration(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  // Throws `cancelled` once `disconnect()` has made the attempt stale.
  static void ensureCurrent(const TaskTokenPtr& attempt);
  void invalidateLoginLease();
  std::uint16_t nextTimestamp() noexcept;

  // ---- receive loop and failure ----
  void startReceiveLoop();
  // Cancels the running loop's token (and, from outside the loop, what it awaits) and forgets it.
  void dropReceiveLoop(bool interruptWaits);
  static Awaitable<void> receiveLoopEntry(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token);
  Awaitable<void> runReceiveLoop(TaskTokenPtr token);
  bool loopMayContinue(const TaskTokenPtr& token) const noexcept;
  // Joins chunked basic messages, then hands complete frames to `handlePostRegistrationFrame`.
  Awaitable<void> routeReceivedFrame(VantrelFrame frame);
  Awaitable<void> handlePostRegistrationFrame(VantrelFrame frame);
  Awaitable<void> handleAIEnvelope(Bytes payload);
  void handleLegacyInputFrame(const VantrelFrame& frame);
  void emitManagerFrameMetadata(const VantrelFrame& frame);
  void resetPostRegistrationCompatibilityState();
  void resetConnectionBuffers();
  Awaitable<void> handleReceiveLoopTransportError(NetworkTransportError error);
  Awaitable<void> failFromReceiveLoop(DirectAuthError error);
  // Returns false when `disconnect()` took over the teardown meanwhile (the attempt is stale).
  Awaitable<bool> failAndDisconnect(DirectAuthError error, bool alreadyEmittedSpecificEvent,
                                    TaskTokenPtr attempt);
  bool isLive() const noexcept;

  // ---- legacy dispatch ----
  Awaitable<void> handleLegacyHeaderBasicIfNeeded(VantrelFrame frame);
  Awaitable<void> requestManagerCurrentFolder();
  void requestReboot();
  void handleIncomingClipboard(const Bytes& envelope);
  Awaitable<void> handleSetCurrentFolder(Bytes envelope);
  Awaitable<void> handleGetSingleFiles(Bytes envelope);
  Awaitable<void> handleSetSingleCommands(Bytes envelope);

  // ---- outgoing payloads ----
  Awaitable<void> sendHeaderBasicPayload(Bytes payload, std::uint16_t comNum);
  Awaitable<void> sendPayload(Bytes payload, std::uint8_t command, std::uint16_t comNum);
  Awaitable<void> sendCurrentPasteDestination();
  Awaitable<void> sendSingleFileList(std::string requestedPath);
  Awaitable<void> sendLegacyComInfoResponse();

  // ---- served by the screen and file work (DirectAuthClientScreen.cpp, DirectAuthClientFiles.cpp) ----
  Awaitable<void> handleScreenRequest(Bytes payload, bool sendsInfoResponse);
  Awaitable<void> stopScreenStream(std::string reason, bool emitEvent, bool preservingActivity);
  // Replaces any pending delayed start by a new one, 120 ms from now.
  void scheduleScreenStreamRestart(ScreenStreamConfiguration configuration,
                                   std::shared_ptr<ScreenUnitMailbox> mailbox,
                                   std::optional<Bytes> decoderResetPayload, std::uint16_t comNum);
  static Awaitable<void> delayedScreenStart(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token,
                                            ScreenStreamConfiguration configuration,
                                            std::shared_ptr<ScreenUnitMailbox> mailbox,
                                            std::optional<Bytes> decoderResetPayload, std::uint16_t comNum);
  Awaitable<void> startScheduledScreenStream(ScreenStreamConfiguration configuration,
                                             std::shared_ptr<ScreenUnitMailbox> mailbox,
                                             std::optional<Bytes> decoderResetPayload, std::uint16_t comNum);
  // The handlers given to the streamer for one start: units go into the start's mailbox, which
  // the session drains on its strand; nothing ever waits for the session.
  ScreenStreamHandlers makeScreenStreamHandlers(const std::shared_ptr<ScreenUnitMailbox>& mailbox);
  static void drainScreenMailbox(std::weak_ptr<DirectAuthClient> weak,
                                 std::shared_ptr<ScreenUnitMailbox> mailbox);
  void handleEncodedScreenAccessUnit(const ScreenUnitMailbox& mailbox, EncodedScreenAccessUnit unit);
  static Awaitable<void> screenSendResultEntry(std::weak_ptr<DirectAuthClient> weak,
                                               LowLatencyScreenSendResult result);
  Awaitable<void> handleScreenPacketSendResult(LowLatencyScreenSendResult result);
  static Awaitable<void> screenFailureEntry(std::weak_ptr<DirectAuthClient> weak,
                                            std::shared_ptr<ScreenUnitMailbox> mailbox, std::string message);
  Awaitable<void> handleScreenStreamerFailure(std::string message);
  // Ends the current start's mailbox: its waiting unit and every later one are dropped.
  void closeScreenMailbox();
  Awaitable<void> sendFiles(std::vector<std::string> fileURLs, std::string remoteFolder);
  Awaitable<void> handleIncomingFileFrame(VantrelFrame frame);
  void closeIncomingFile();
  struct SingleFileListing {
    std::string path;  // the resolved folder
    std::string json;  // the listing document
    long long itemCount = 0;
  };
  // Throws when the folder cannot be listed.
  SingleFileListing listSingleFileFolder(const std::string& requestedPath);
  // Runs one decoded SET_SINGLE_CMDS text (from after its envelope was read).
  Awaitable<void> runSingleFileCommand(std::string commandText);
  // What the file components need from the session: its gate, connection number, sends, events
  // and (for uploads) the receive loop's cancellation.
  OutgoingFileUploadContext makeUploadContext();
  SingleFileRequestContext makeSingleFileContext();

  // ---- collaborators ----
  const std::shared_ptr<NetworkTransporting> transport_;
  const Executor strand_;
  const std::shared_ptr<DirectAuthSystemLogging> systemLog_;
  const std::shared_ptr<LegacyComInfoSnapshotProviding> comInfoSnapshotProvider_;
  const std::shared_ptr<ScreenStreamingProviding> screenStreamer_;
  const std::shared_ptr<LowLatencyScreenPacketSender> screenPacketSender_;
  const std::shared_ptr<RemoteInputInjecting> inputInjector_;
  const std::shared_ptr<SystemCommandExecuting> systemCommandExecutor_;
  const std::shared_ptr<UpdateActivityGate> updateActivityGate_;
  const AIChannelConfiguration initialAIConfiguration_;
  const std::shared_ptr<AISecureSessionController> secureAISession_;
  const AIConfigurationReload reloadAIConfiguration_;

  // ---- state ----
  DirectAuthState state_ = DirectAuthState::idle;
  std::optional<DirectAuthError> lastError_;
  std::uint16_t timestampCounter_ = 0;
  VantrelFrameStreamDecoder decoder_{VantrelFrameStreamDecoder::defaultMaxBufferedBytes};
  std::deque<VantrelFrame> pendingFrames_;
  ReceiverBound<EventHandler> eventHandler_;
  TaskSlot receiveLoopTask_;
  bool intentionalDisconnect_ = false;
  std::uint16_t activeConnectionNumber_ = 0;
  // The current connection attempt; `disconnect()` cancels it so that a suspended attempt can
  // neither report success on a closed session nor turn `disconnected` into `failed`.
  TaskTokenPtr connectionAttempt_;
  // Bumped by every teardown (disconnect and both failure paths): a teardown that finds a newer
  // one when it resumes leaves the state to it.
  std::uint64_t teardownGeneration_ = 0;

  // Basic messages longer than one chunk are joined before they are served.
  ManagerMessageJoiner joiner_;

  bool screenStreamActive_ = false;
  Lease screenActivity_;
  std::uint64_t screenStreamGeneration_ = 0;
  TaskSlot screenRestartTask_;
  long long screenFramesSent_ = 0;
  long long screenBytesSent_ = 0;
  long long screenKeyframesSent_ = 0;
  bool screenFirstFrameLogged_ = false;
  long long screenStatsFramesAtLastEmit_ = 0;
  // The mailbox of the running (or starting) stream; units from any other are stale.
  std::shared_ptr<ScreenUnitMailbox> screenMailbox_;
  std::uint64_t screenStartCounter_ = 0;

  // Files from the manager, frame by frame.
  IncomingFileReceiver incomingFiles_;

  long long inputEventsApplied_ = 0;
  bool inputPermissionDeniedLogged_ = false;
  std::optional<std::string> lastInputDiagnosticKind_;

  ReceiverBound<ClipboardHandler> clipboardHandler_;
  ReceiverBound<PasteDestinationProvider> pasteDestinationProvider_;
  std::vector<std::string> localClipboardFiles_;

  std::shared_ptr<MacAIChannel> aiChannel_;
  std::shared_ptr<AIAccountLoginContext> aiAccountContext_;
  std::shared_ptr<AILoginManagerLease> aiLoginLease_;
  Uuid aiSessionID_;
};

// True for a URL whose scheme is "file" (compared ignoring case).
bool isFileURL(std::string_view url) noexcept;

// The local path a "file:" URL names ("file:///a%20b", "file://localhost/a", "file:/a"); nothing
// for another host, a relative path, a bad escape or an escaped NUL.
std::optional<std::string> localPathFromFileURL(std::string_view url);

// The detail text of a send or receive failure, as session events show it.
std::string transportDetail(const std::exception_ptr& error);

// A transport error as the session reports it: `cancelled` → cancelled, `timedOut` → timeout,
// every other case → transport(<its text>).
DirectAuthError directAuthError(const NetworkTransportError& error);

// The Downloads folder when it exists, else the home folder.
std::string defaultPasteDestination();

}  // namespace vantrel

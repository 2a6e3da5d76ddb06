#pragma once

// The manager session: one actor per manager connection. It connects, authenticates and
// registers, reads the manager's frames one at a time and routes them to its parts (screen,
// input, files, the development channel) or serves them itself (clipboard, folder and
// system-information requests), and reports everything as `DirectAuthEvent`s.
//
// The session lives on its transport's strand: every public operation hops there, and its parts
// run there too. Across every suspension the state may have changed; each step re-checks it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/VantrelFrame.hpp"
#include "Session/DevelopmentChannel.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/DirectAuthTypes.hpp"
#include "Session/SessionErrors.hpp"
#include "Support/Uuid.hpp"
#include "Support/WallClock.hpp"

namespace vantrel {

class DirectAuthSystemLogging;
class LegacyComInfoSnapshotProviding;
class RemoteInputInjecting;
class ScreenStreamingProviding;
class SystemCommandExecuting;
class UpdateActivityGate;
struct OutgoingFileUploadContext;
struct SingleFileRequestContext;

class DirectAuthClient : public std::enable_shared_from_this<DirectAuthClient> {
 public:
  using EventHandler = std::function<void(const DirectAuthEvent&)>;
  using ClipboardHandler = std::function<void(const LegacyClipboardValue&)>;
  // Yields the folder into which files pasted by the manager go.
  using PasteDestinationProvider = std::function<Awaitable<std::string>()>;

  struct Collaborators {
    std::shared_ptr<NetworkTransporting> transport;
    std::shared_ptr<DirectAuthSystemLogging> systemLog;
    std::shared_ptr<LegacyComInfoSnapshotProviding> comInfoSnapshotProvider;
    std::shared_ptr<ScreenStreamingProviding> screenStreamer;
    std::shared_ptr<RemoteInputInjecting> inputInjector;
    std::shared_ptr<SystemCommandExecuting> systemCommandExecutor;
    DevelopmentChannelFactory developmentChannel;            // none: the channel is disabled
    std::shared_ptr<UpdateActivityGate> updateActivityGate;  // the application passes shared()
    WallClock wallClock;                                     // stamps the events; none: the system's
  };

  // Stores the collaborators and starts idle; opens nothing and emits nothing.
  static std::shared_ptr<DirectAuthClient> create(Collaborators collaborators);
  ~DirectAuthClient();
  DirectAuthClient(const DirectAuthClient&) = delete;
  DirectAuthClient& operator=(const DirectAuthClient&) = delete;

  // The handlers and the provider run on their receiver's executor (posted, in order), never on
  // the session's strand. A null function removes the current one. The receiver's execution
  // context must outlive the session or the binding.
  Awaitable<void> setEventHandler(Executor receiver, EventHandler handler);
  Awaitable<void> setClipboardHandler(Executor receiver, ClipboardHandler handler);
  Awaitable<void> setPasteDestinationProvider(Executor receiver, PasteDestinationProvider provider);
  // "mcp_manager_not_connected", "mcp_disabled", "mcp_connected_existing_manager" or
  // "mcp_account_login_required".
  Awaitable<std::string> currentMCPStatus();
  // Invalidates the held development-channel lease; the context is used at the next registration.
  Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context);
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

  Executor executor() const { return strand_; }  // the session's strand (its transport's)

 private:
  // Collaborators, parts and buffers (DirectAuthClientParts.hpp). Connecting is in
  // DirectAuthClient.cpp, the loop and failures in …Loop.cpp, serving in …Dispatch/…Files.cpp.
  struct Parts;
  explicit DirectAuthClient(Collaborators collaborators);
  void emit(DirectAuthEvent::Kind kind);
  bool isLive() const noexcept;
  std::uint16_t nextTimestamp() noexcept { return timestampCounter_++; }

  static Awaitable<void> connectBody(std::shared_ptr<DirectAuthClient> self, DirectAuthConfiguration config);
  static Awaitable<void> disconnectBody(std::shared_ptr<DirectAuthClient> self);
  Awaitable<void> runConnectionAttempt(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<void> connectWithTimeout(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<void> performAuthentication(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  Awaitable<VantrelFrame> collectOneFrame();
  void validateAuthResponse(const VantrelFrame& frame);
  Awaitable<void> performRegistration(DirectAuthConfiguration configuration, TaskTokenPtr attempt);
  static Awaitable<void> sendFor(std::weak_ptr<DirectAuthClient> weak, Bytes payload, std::uint16_t comNum);
  static Awaitable<void> failFor(std::weak_ptr<DirectAuthClient> weak, DirectAuthError error);
  void startReceiveLoop();
  void dropReceiveLoop(bool interruptWaits);
  static Awaitable<void> receiveLoopEntry(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token);
  Awaitable<void> runReceiveLoop(TaskTokenPtr token);
  Awaitable<void> routeReceivedFrame(VantrelFrame frame);
  void resetSessionState();
  Awaitable<void> failFromReceiveLoop(DirectAuthError error);
  // False when `disconnect()` took over the teardown meanwhile (the attempt is stale).
  Awaitable<bool> failAndDisconnect(DirectAuthError error, bool eventEmitted, TaskTokenPtr attempt);
  Awaitable<void> handleAIEnvelope(Bytes payload);
  Awaitable<void> handleLegacyHeaderBasic(VantrelFrame frame);
  Awaitable<void> requestManagerCurrentFolder();
  void handleIncomingClipboard(const Bytes& envelope);
  Awaitable<void> sendHeaderBasicPayload(Bytes payload, std::uint16_t comNum);
  Awaitable<void> sendPayload(Bytes payload, std::uint8_t command, std::uint16_t comNum);
  Awaitable<void> sendCurrentPasteDestination();
  Awaitable<void> sendLegacyComInfoResponse();
  Awaitable<void> sendFiles(std::vector<std::string> fileURLs, std::string remoteFolder);
  OutgoingFileUploadContext makeUploadContext();
  SingleFileRequestContext makeSingleFileContext();

  const std::shared_ptr<NetworkTransporting> transport_;
  const Executor strand_;
  const std::unique_ptr<Parts> parts_;
  DirectAuthState state_ = DirectAuthState::idle;
  std::optional<DirectAuthError> lastError_;
  std::uint16_t timestampCounter_ = 0;
  TaskSlot receiveLoopTask_;
  bool intentionalDisconnect_ = false;
  std::uint16_t activeConnectionNumber_ = 0;
  // Cancelled by `disconnect()`: a suspended attempt can then neither report success on a
  // closed session nor turn `disconnected` into `failed`.
  TaskTokenPtr connectionAttempt_;
  std::uint64_t teardownGeneration_ = 0;  // a teardown that finds a newer one leaves the state to it
  Uuid developmentSessionID_;             // a new one per connection: an answer of an older one is dropped
};

}  // namespace vantrel

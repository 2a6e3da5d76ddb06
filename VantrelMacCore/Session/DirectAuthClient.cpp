#include "Session/DirectAuthClient.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "AIChannel/AIWire.hpp"
#include "Protocol/LegacyInputPacket.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelHeader.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Support/Paths.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

// A time-out in nanoseconds as a clock duration; absurd values are capped so that the deadline
// cannot overflow the clock.
VantrelClock::duration timeoutDuration(std::uint64_t nanoseconds) {
  constexpr std::uint64_t cap = 100ULL * 365 * 24 * 3600 * 1'000'000'000ULL;
  return std::chrono::duration_cast<VantrelClock::duration>(
      std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(nanoseconds, cap))));
}

std::string descriptionOf(const DirectAuthError& error) {
  return error.errorDescription().value_or(error.localizedDescription());
}

Awaitable<bool> callerCancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

// Every error met by a connection attempt, as the attempt reports it.
DirectAuthError mapAttemptError(const std::exception_ptr& error) {
  if (isCancellation(error)) return DirectAuthError::cancelled();
  try {
    std::rethrow_exception(error);
  } catch (const DirectAuthError& e) {
    return e;
  } catch (const NetworkTransportError& e) {
    return directAuthError(e);
  } catch (const TimeoutError&) {
    return DirectAuthError::timeout();
  } catch (...) {
    return DirectAuthError::transport(localizedDescription(error));
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Free helpers

bool isFileURL(std::string_view url) noexcept {
  constexpr std::string_view scheme = "file:";
  if (url.size() < scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return false;
  }
  return true;
}

DirectAuthError directAuthError(const NetworkTransportError& error) {
  switch (error.kind()) {
    case NetworkTransportError::Case::cancelled: return DirectAuthError::cancelled();
    case NetworkTransportError::Case::timedOut: return DirectAuthError::timeout();
    default: return DirectAuthError::transport(error.localizedDescription());
  }
}

std::string transportDetail(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const DirectAuthError& e) {
    return descriptionOf(e);
  } catch (const NetworkTransportError& e) {
    return descriptionOf(directAuthError(e));
  } catch (...) {
    return localizedDescription(error);
  }
}

std::string defaultPasteDestination() {
  std::error_code ec;
  const auto downloads = paths::downloadsDirectory();
  if (!downloads.empty() && std::filesystem::is_directory(downloads, ec)) return downloads.string();
  return paths::home().string();
}

// ---------------------------------------------------------------------------------------------
// Object

std::shared_ptr<DirectAuthClient> DirectAuthClient::create(Collaborators collaborators) {
  if (!collaborators.transport || !collaborators.comInfoSnapshotProvider || !collaborators.inputInjector ||
      !collaborators.systemCommandExecutor) {
    throw std::invalid_argument(
        "DirectAuthClient needs a transport, a system-information provider, an input "
        "injector and a system command executor");
  }
  return std::shared_ptr<DirectAuthClient>(new DirectAuthClient(std::move(collaborators)));
}

DirectAuthClient::DirectAuthClient(Collaborators c)
    : transport_(std::move(c.transport)),
      strand_(transport_->executor()),
      systemLog_(std::move(c.systemLog)),
      comInfoSnapshotProvider_(std::move(c.comInfoSnapshotProvider)),
      screenStreamer_(std::move(c.screenStreamer)),
      screenPacketSender_(LowLatencyScreenPacketSender::create(transport_)),
      inputInjector_(std::move(c.inputInjector)),
      systemCommandExecutor_(std::move(c.systemCommandExecutor)),
      updateActivityGate_(c.updateActivityGate ? std::move(c.updateActivityGate)
                                               : UpdateActivityGate::shared()),
      initialAIConfiguration_(c.aiChannelConfiguration),
      secureAISession_(std::move(c.secureAISession)),
      reloadAIConfiguration_(std::move(c.reloadAIConfiguration)),
      receiveLoopTask_(strand_, "manager receive loop"),
      screenRestartTask_(strand_, "screen restart"),
      incomingFiles_(updateActivityGate_),
      aiChannel_(MacAIChannel::statusOnly(c.aiChannelConfiguration)),
      aiAccountContext_(std::move(c.aiAccountContext)),
      aiSessionID_(Uuid::random()) {}

DirectAuthClient::~DirectAuthClient() {
  // Leases end through their own release; an open incoming file is closed. Nothing is sent.
  if (auto token = receiveLoopTask_.token()) token->cancel();
  closeIncomingFile();
}

void DirectAuthClient::emit(DirectAuthEvent::Kind kind) {
  const auto event = DirectAuthEvent::now(std::move(kind));
  if (systemLog_) systemLog_->mirror(event);
  eventHandler_.post(event);
}

std::uint16_t DirectAuthClient::nextTimestamp() noexcept { return timestampCounter_++; }

bool DirectAuthClient::isLive() const noexcept {
  return state_ == DirectAuthState::authenticated && !intentionalDisconnect_;
}

void DirectAuthClient::invalidateLoginLease() {
  if (aiLoginLease_) aiLoginLease_->invalidate();
}

// ---------------------------------------------------------------------------------------------
// Public operations

Awaitable<void> DirectAuthClient::setEventHandler(Executor receiver, EventHandler handler) {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self, ReceiverBound<EventHandler> h) -> Awaitable<void> {
                 self->eventHandler_ = std::move(h);
                 co_return;
               }(shared_from_this(), ReceiverBound<EventHandler>(std::move(receiver), std::move(handler))));
}

Awaitable<std::string> DirectAuthClient::currentMCPStatus() {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self) -> Awaitable<std::string> {
    if (self->state_ != DirectAuthState::authenticated) co_return "mcp_manager_not_connected";
    if (!self->aiChannel_->enabled()) co_return "mcp_disabled";
    if (self->aiLoginLease_ && self->aiLoginLease_->isValid()) co_return "mcp_connected_existing_manager";
    co_return "mcp_account_login_required";
  }(shared_from_this()));
}

Awaitable<void> DirectAuthClient::setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self,
                  std::shared_ptr<AIAccountLoginContext> c) -> Awaitable<void> {
                 self->invalidateLoginLease();
                 self->aiAccountContext_ = std::move(c);
                 co_return;
               }(shared_from_this(), std::move(context)));
}

Awaitable<void> DirectAuthClient::setClipboardHandler(Executor receiver, ClipboardHandler handler) {
  return runOn(
      strand_,
      [](std::shared_ptr<DirectAuthClient> self, ReceiverBound<ClipboardHandler> h) -> Awaitable<void> {
        self->clipboardHandler_ = std::move(h);
        co_return;
      }(shared_from_this(), ReceiverBound<ClipboardHandler>(std::move(receiver), std::move(handler))));
}

Awaitable<void> DirectAuthClient::setPasteDestinationProvider(Executor receiver,
                                                              PasteDestinationProvider provider) {
  using Bound = ReceiverBound<PasteDestinationProvider>;
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, Bound p) -> Awaitable<void> {
    self->pasteDestinationProvider_ = std::move(p);
    co_return;
  }(shared_from_this(), Bound(std::move(receiver), std::move(provider))));
}

Awaitable<void> DirectAuthClient::updateLocalClipboardFiles(std::vector<std::string> urls) {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self, std::vector<std::string> u) -> Awaitable<void> {
                 std::vector<std::string> files;
                 for (auto& url : u) {
                   if (isFileURL(url)) files.push_back(std::move(url));
                 }
                 self->localClipboardFiles_ = std::move(files);
                 co_return;
               }(shared_from_this(), std::move(urls)));
}

Awaitable<DirectAuthState> DirectAuthClient::currentState() {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self) -> Awaitable<DirectAuthState> {
    co_return self->state_;
  }(shared_from_this()));
}

Awaitable<std::optional<DirectAuthError>> DirectAuthClient::currentLastError() {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self) -> Awaitable<std::optional<DirectAuthError>> {
                 co_return self->lastError_;
               }(shared_from_this()));
}

Awaitable<void> DirectAuthClient::connectAndAuthenticate(DirectAuthConfiguration configuration) {
  return runOn(strand_, connectBody(shared_from_this(), std::move(configuration)));
}

Awaitable<void> DirectAuthClient::disconnect() { return runOn(strand_, disconnectBody(shared_from_this())); }

// ---------------------------------------------------------------------------------------------
// Connecting, authentication and registration

void DirectAuthClient::ensureCurrent(const TaskTokenPtr& attempt) {
  if (attempt->isCancelled()) throw DirectAuthError::cancelled();
}

Awaitable<void> DirectAuthClient::connectBody(std::shared_ptr<DirectAuthClient> self,
                                              DirectAuthConfiguration configuration) {
  // The failure path awaits its clean-up; cancellation is checked where the steps check it.
  co_await asio::this_coro::throw_if_cancelled(false);

  const DirectAuthConfiguration normalized = validatedDirectAuthConfiguration(configuration);

  switch (self->state_) {
    case DirectAuthState::connecting:
    case DirectAuthState::authenticating:
    case DirectAuthState::disconnecting: throw DirectAuthError::notIdle();
    case DirectAuthState::authenticated: throw DirectAuthError::alreadyAuthenticated();
    case DirectAuthState::idle:
    case DirectAuthState::disconnected:
    case DirectAuthState::failed: break;
  }

  self->lastError_.reset();
  self->intentionalDisconnect_ = false;
  self->dropReceiveLoop(true);
  self->resetConnectionBuffers();
  self->resetPostRegistrationCompatibilityState();
  self->activeConnectionNumber_ = normalized.connectionNumber;
  if (self->reloadAIConfiguration_) {
    self->aiChannel_ = MacAIChannel::statusOnly(self->reloadAIConfiguration_());
  }
  self->aiSessionID_ = Uuid::random();
  auto attempt = std::make_shared<TaskToken>();
  self->connectionAttempt_ = attempt;
  self->state_ = DirectAuthState::connecting;

  std::exception_ptr failure;
  try {
    co_await self->runConnectionAttempt(normalized, attempt);
  } catch (...) {
    failure = std::current_exception();
  }
  if (self->connectionAttempt_ == attempt && !failure) self->connectionAttempt_.reset();
  if (!failure) co_return;
  // A disconnect took the session down meanwhile: the state is the disconnect's.
  if (attempt->isCancelled()) throw DirectAuthError::cancelled();

  const DirectAuthError mapped = mapAttemptError(failure);
  const bool ours = co_await self->failAndDisconnect(mapped, mapped == DirectAuthError::rejected(), attempt);
  if (self->connectionAttempt_ == attempt) self->connectionAttempt_.reset();
  if (!ours) throw DirectAuthError::cancelled();
  throw mapped;
}

Awaitable<void> DirectAuthClient::runConnectionAttempt(DirectAuthConfiguration configuration,
                                                       TaskTokenPtr attempt) {
  co_await connectWithTimeout(configuration, attempt);
  ensureCurrent(attempt);
  co_await checkCancellation();
  state_ = DirectAuthState::authenticating;

  co_await performAuthentication(configuration, attempt);
  co_await performRegistration(configuration, attempt);
  state_ = DirectAuthState::authenticated;

  invalidateLoginLease();
  aiLoginLease_ = aiAccountContext_
                      ? aiAccountContext_->lease(configuration.host, configuration.port, configuration.userID,
                                                 configuration.connectionNumber)
                      : nullptr;
  const AIChannelConfiguration channelConfiguration =
      reloadAIConfiguration_ ? reloadAIConfiguration_() : initialAIConfiguration_;
  aiChannel_ = MacAIChannel::accountBound(channelConfiguration, aiLoginLease_, nullptr);

  lastError_.reset();
  emit(K::ManagerRegistrationComplete{});

  aiChannel_->bindManager(configuration.host);
  if (auto greeting = aiChannel_->hello()) {
    co_await sendHeaderBasicPayload(std::move(*greeting), activeConnectionNumber_);
    ensureCurrent(attempt);
  }

  startReceiveLoop();
  if (secureAISession_) {
    std::optional<AIPairingBinding> binding;
    try {
      binding.emplace(configuration.userID, configuration.host, configuration.port,
                      static_cast<int>(configuration.connectionNumber) + 1);
    } catch (...) {
      binding.reset();
    }
    if (binding) {
      co_await secureAISession_->start(*binding);
    } else {
      co_await secureAISession_->stop();
    }
    ensureCurrent(attempt);
  }
}

Awaitable<void> DirectAuthClient::connectWithTimeout(DirectAuthConfiguration configuration,
                                                     TaskTokenPtr attempt) {
  emit(K::TcpConnectAttempt{configuration.host, configuration.port});
  std::exception_ptr failure;
  try {
    co_await withTimeout(transport_->connect(configuration.host, configuration.port),
                         timeoutDuration(configuration.timeoutNanoseconds));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // When the caller cancelled, the race's timer may finish first; the cause is the caller.
    if (co_await callerCancelled()) failure = std::make_exception_ptr(CancellationError());
    if (!attempt->isCancelled()) co_await transport_->disconnect();
    ensureCurrent(attempt);
    std::string detail;
    std::exception_ptr thrown = failure;
    try {
      std::rethrow_exception(failure);
    } catch (const DirectAuthError& e) {
      detail = descriptionOf(e);
    } catch (const NetworkTransportError& e) {
      const auto mapped = directAuthError(e);
      detail = descriptionOf(mapped);
      thrown = std::make_exception_ptr(mapped);
    } catch (const TimeoutError&) {
      const auto mapped = DirectAuthError::timeout();
      detail = descriptionOf(mapped);
      thrown = std::make_exception_ptr(mapped);
    } catch (...) {
      detail = localizedDescription(failure);
    }
    emit(K::TcpConnectFailure{detail});
    std::rethrow_exception(thrown);
  }
  ensureCurrent(attempt);
  emit(K::TcpConnectReady{});
}

Awaitable<void> DirectAuthClient::performAuthentication(DirectAuthConfiguration configuration,
                                                        TaskTokenPtr attempt) {
  const Bytes payload = DirectAuthPayload::makeRequestPayload(configuration.userID);
  if (payload.size() > VantrelProtocol::maxChunkPayloadSize) {
    throw DirectAuthError::malformedResponse("Auth request payload exceeds maximum chunk size.");
  }
  const auto timestamp = nextTimestamp();
  auto frames = VantrelFrameChunker::makeFrames(payload, VantrelProtocol::headerStartAuthCommand, timestamp,
                                                configuration.connectionNumber);
  co_await transport_->send(frames.front().encode());
  ensureCurrent(attempt);
  emit(K::AuthCommandSent{});
  co_await checkCancellation();

  const VantrelFrame answer = co_await receiveAuthResponse(configuration.timeoutNanoseconds, attempt);
  validateAuthResponse(answer);
}

Awaitable<VantrelFrame> DirectAuthClient::receiveAuthResponse(std::uint64_t timeoutNanoseconds,
                                                              TaskTokenPtr attempt) {
  std::exception_ptr failure;
  std::optional<VantrelFrame> frame;
  try {
    frame = co_await withTimeout(collectOneFrame(), timeoutDuration(timeoutNanoseconds));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (co_await callerCancelled()) failure = std::make_exception_ptr(CancellationError());
    if (!attempt->isCancelled()) co_await transport_->disconnect();
    ensureCurrent(attempt);
    std::rethrow_exception(failure);
  }
  ensureCurrent(attempt);
  co_return std::move(*frame);
}

Awaitable<VantrelFrame> DirectAuthClient::collectOneFrame() {
  if (!pendingFrames_.empty()) {
    VantrelFrame first = std::move(pendingFrames_.front());
    pendingFrames_.pop_front();
    co_return first;
  }
  while (true) {
    co_await checkCancellation();
    Bytes chunk;
    std::exception_ptr failure;
    try {
      chunk = co_await transport_->receive();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      if (isCancellation(failure)) throw DirectAuthError::cancelled();
      try {
        std::rethrow_exception(failure);
      } catch (const NetworkTransportError& e) {
        throw directAuthError(e);
      } catch (const DirectAuthError&) {
        throw;
      } catch (...) {
        throw DirectAuthError::transport(localizedDescription(failure));
      }
    }
    if (chunk.empty()) continue;
    std::vector<VantrelFrame> frames;
    try {
      frames = decoder_.append(chunk);
    } catch (const std::exception& e) {
      throw DirectAuthError::malformedResponse(localizedDescription(e));
    }
    if (frames.empty()) continue;
    for (std::size_t i = 1; i < frames.size(); ++i) pendingFrames_.push_back(std::move(frames[i]));
    co_return std::move(frames.front());
  }
}

void DirectAuthClient::validateAuthResponse(const VantrelFrame& frame) {
  if (frame.header.command != VantrelProtocol::headerStartAuthCommand) {
    throw DirectAuthError::unexpectedCommand(frame.header.command);
  }
  if (frame.payload.size() != 1) {
    throw DirectAuthError::malformedResponse(
        fmt::format("expected exactly 1 payload byte, got {}", frame.payload.size()));
  }
  const std::uint8_t byte = frame.payload.front();
  if (byte == VantrelProtocol::authFailureASCII) {
    emit(K::AuthRejected{});
    throw DirectAuthError::rejected();
  }
  if (byte != VantrelProtocol::authSuccessASCII) {
    throw DirectAuthError::malformedResponse(fmt::format("expected ASCII '1' or '0', got 0x{:02X}", byte));
  }
  emit(K::AuthAccepted{});
}

Awaitable<void> DirectAuthClient::performRegistration(DirectAuthConfiguration configuration,
                                                      TaskTokenPtr attempt) {
  VantrelHeader header;
  header.command = VantrelProtocol::headerStartConnectCommand;
  header.sequenceNumber = 0;
  header.numChunks = 1;
  header.timestamp = nextTimestamp();
  header.chunkSize = 1;
  header.comNum = configuration.connectionNumber;
  Bytes wire = VantrelHeaderCodec::encode(header);
  wire.push_back(VantrelProtocol::connectRegistrationPayloadASCII);
  co_await transport_->send(std::move(wire));
  ensureCurrent(attempt);
  emit(K::RegistrationCommandSent{configuration.connectionNumber});
  co_await checkCancellation();
}

Awaitable<void> DirectAuthClient::disconnectBody(std::shared_ptr<DirectAuthClient> self) {
  co_await asio::this_coro::throw_if_cancelled(false);
  auto cancelAttempt = [&self] {
    if (self->connectionAttempt_) {
      self->connectionAttempt_->cancel();
      self->connectionAttempt_.reset();
    }
  };
  cancelAttempt();
  self->invalidateLoginLease();
  if (self->secureAISession_) co_await self->secureAISession_->stop();
  // An attempt may have begun while the secure session stopped.
  cancelAttempt();

  if (self->state_ == DirectAuthState::idle || self->state_ == DirectAuthState::disconnected) {
    co_await self->transport_->disconnect();
    co_return;
  }
  const auto generation = ++self->teardownGeneration_;
  self->intentionalDisconnect_ = true;
  self->state_ = DirectAuthState::disconnecting;
  self->dropReceiveLoop(true);
  co_await self->stopScreenStream("disconnect", true, false);
  co_await self->transport_->disconnect();
  if (generation != self->teardownGeneration_) co_return;  // a later disconnect finishes the job
  self->resetConnectionBuffers();
  self->resetPostRegistrationCompatibilityState();
  self->state_ = DirectAuthState::disconnected;
  self->emit(K::Disconnect{});
  self->intentionalDisconnect_ = false;
}

// ---------------------------------------------------------------------------------------------
// Receive loop and session failure

void DirectAuthClient::startReceiveLoop() {
  dropReceiveLoop(true);
  receiveLoopTask_.start(
      [weak = weak_from_this()](TaskTokenPtr token) { return receiveLoopEntry(weak, token); });
}

void DirectAuthClient::dropReceiveLoop(bool interruptWaits) {
  if (auto token = receiveLoopTask_.token()) token->cancel();
  if (interruptWaits) {
    receiveLoopTask_.cancel();
  } else {
    receiveLoopTask_.release();
  }
}

Awaitable<void> DirectAuthClient::receiveLoopEntry(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token) {
  co_await asio::this_coro::throw_if_cancelled(false);
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->runReceiveLoop(std::move(token));
}

bool DirectAuthClient::loopMayContinue(const TaskTokenPtr& token) const noexcept {
  return !token->isCancelled() && state_ == DirectAuthState::authenticated && !intentionalDisconnect_;
}

Awaitable<void> DirectAuthClient::runReceiveLoop(TaskTokenPtr token) {
  while (true) {
    if (!loopMayContinue(token)) co_return;
    if (!pendingFrames_.empty()) {
      VantrelFrame frame = std::move(pendingFrames_.front());
      pendingFrames_.pop_front();
      co_await routeReceivedFrame(std::move(frame));
      continue;
    }

    Bytes chunk;
    std::exception_ptr failure;
    try {
      chunk = co_await transport_->receive();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      // A loop that was dropped never acts on what its last read reported.
      if (token->isCancelled() || isCancellation(failure)) co_return;
      std::optional<NetworkTransportError> transportError;
      try {
        std::rethrow_exception(failure);
      } catch (const NetworkTransportError& e) {
        transportError = e;
      } catch (...) {
      }
      if (transportError) {
        co_await handleReceiveLoopTransportError(*transportError);
        co_return;
      }
      if (intentionalDisconnect_) co_return;
      if (state_ == DirectAuthState::authenticated) {
        co_await failFromReceiveLoop(DirectAuthError::transport(localizedDescription(failure)));
      }
      co_return;
    }

    if (!loopMayContinue(token)) co_return;
    std::vector<VantrelFrame> frames;
    std::optional<DirectAuthError> decodeFailure;
    try {
      frames = decoder_.append(chunk);
    } catch (const std::exception& e) {
      decodeFailure = DirectAuthError::malformedResponse(localizedDescription(e));
    }
    if (decodeFailure) {
      if (!intentionalDisconnect_ && state_ == DirectAuthState::authenticated) {
        co_await failFromReceiveLoop(*decodeFailure);
      }
      co_return;
    }
    for (auto& frame : frames) {
      if (!loopMayContinue(token)) co_return;
      co_await routeReceivedFrame(std::move(frame));
      if (state_ != DirectAuthState::authenticated) co_return;
    }
  }
}

Awaitable<void> DirectAuthClient::routeReceivedFrame(VantrelFrame frame) {
  auto step = joiner_.push(std::move(frame));
  for (auto& reason : step.dropped) emit(K::ClipboardRejected{std::move(reason)});
  if (!step.ready) co_return;
  VantrelFrame ready = std::move(*step.ready);
  co_await handlePostRegistrationFrame(std::move(ready));
}

Awaitable<void> DirectAuthClient::handlePostRegistrationFrame(VantrelFrame frame) {
  const std::uint8_t command = frame.header.command;
  if (IncomingFileReceiver::isFileCommand(command)) {
    co_await handleIncomingFileFrame(std::move(frame));
    co_return;
  }
  if (command == VantrelProtocol::headerBasicCommand && AIWire::hasPrefix(frame.payload)) {
    co_await handleAIEnvelope(std::move(frame.payload));
    co_return;
  }
  if (command == VantrelProtocol::headerInputCommand) {
    handleLegacyInputFrame(frame);
    co_return;
  }
  emitManagerFrameMetadata(frame);
  co_await handleLegacyHeaderBasicIfNeeded(std::move(frame));
}

Awaitable<void> DirectAuthClient::handleAIEnvelope(Bytes payload) {
  if (!isLive()) co_return;
  const Uuid session = aiSessionID_;
  const auto channel = aiChannel_;
  std::optional<Bytes> answer = co_await channel->handle(std::move(payload));
  if (!answer) co_return;
  if (aiSessionID_ != session || !isLive()) co_return;
  bool failed = false;
  try {
    co_await sendHeaderBasicPayload(std::move(*answer), activeConnectionNumber_);
  } catch (...) {
    failed = true;
  }
  if (failed) emit(K::InputPacketRejected{"AI response transport failed"});
}

void DirectAuthClient::handleLegacyInputFrame(const VantrelFrame& frame) {
  auto lease = updateActivityGate_->acquire(UpdateActivityGate::Kind::remoteInput);
  if (!lease) return;
  const auto packet = LegacyInputPacket::decode(frame.payload);
  if (!packet) {
    emit(K::InputPacketRejected{"HEADER_INPUT payload must be exactly 20 bytes"});
    lease->end();
    return;
  }
  try {
    inputInjector_->inject(*packet);
  } catch (const RemoteInputInjectionError& e) {
    if (e.kind() == RemoteInputInjectionError::Case::accessibilityDenied) {
      if (!inputPermissionDeniedLogged_) {
        inputPermissionDeniedLogged_ = true;
        emit(K::InputPermissionDenied{
            "Grant VantrelMac in Privacy & Security > Accessibility, then relaunch"});
      }
    } else {
      emit(K::InputPacketRejected{e.localizedDescription()});
    }
    lease->end();
    return;
  } catch (const std::exception& e) {
    emit(K::InputPacketRejected{localizedDescription(e)});
    lease->end();
    return;
  }
  ++inputEventsApplied_;
  inputPermissionDeniedLogged_ = false;
  const std::string kind = packet->diagnosticKind();
  const long long count = inputEventsApplied_;
  const bool isKey = kind.rfind("key-", 0) == 0;
  if (count == 1 || count % 100 == 0 ||
      (!isKey && (!lastInputDiagnosticKind_ || *lastInputDiagnosticKind_ != kind))) {
    emit(K::InputEventApplied{kind, count});
  }
  lastInputDiagnosticKind_ = kind;
  lease->end();
}

void DirectAuthClient::emitManagerFrameMetadata(const VantrelFrame& frame) {
  emit(K::ManagerFrame{frame.header.command, static_cast<long long>(frame.payload.size()),
                       frame.header.comNum});
}

void DirectAuthClient::resetConnectionBuffers() {
  decoder_.reset();
  pendingFrames_.clear();
  joiner_.reset();
}

void DirectAuthClient::resetPostRegistrationCompatibilityState() {
  if (screenActivity_) {
    screenActivity_->end();
    screenActivity_.reset();
  }
  activeConnectionNumber_ = 0;
  screenStreamActive_ = false;
  screenFramesSent_ = 0;
  screenBytesSent_ = 0;
  screenKeyframesSent_ = 0;
  screenStatsFramesAtLastEmit_ = 0;
  inputEventsApplied_ = 0;
  screenFirstFrameLogged_ = false;
  inputPermissionDeniedLogged_ = false;
  lastInputDiagnosticKind_.reset();
  closeIncomingFile();
}

Awaitable<void> DirectAuthClient::handleReceiveLoopTransportError(NetworkTransportError error) {
  if (intentionalDisconnect_ || state_ != DirectAuthState::authenticated) co_return;
  co_await failFromReceiveLoop(directAuthError(error));
}

Awaitable<void> DirectAuthClient::failFromReceiveLoop(DirectAuthError error) {
  if (state_ != DirectAuthState::authenticated) co_return;
  const auto generation = ++teardownGeneration_;
  invalidateLoginLease();
  lastError_ = error;
  emit(K::Error{descriptionOf(error)});
  state_ = DirectAuthState::disconnecting;
  if (secureAISession_) {
    co_await secureAISession_->stop();
    if (generation != teardownGeneration_) co_return;
  }
  // The loop (this task or another) ends at its next check; a pending read ends with the
  // transport below.
  dropReceiveLoop(false);
  co_await stopScreenStream("session failed", true, false);
  if (generation != teardownGeneration_) co_return;
  co_await transport_->disconnect();
  if (generation != teardownGeneration_) co_return;
  resetConnectionBuffers();
  resetPostRegistrationCompatibilityState();
  state_ = DirectAuthState::failed;
  emit(K::Disconnect{});
}

Awaitable<bool> DirectAuthClient::failAndDisconnect(DirectAuthError error, bool alreadyEmittedSpecificEvent,
                                                    TaskTokenPtr attempt) {
  const auto generation = ++teardownGeneration_;
  auto superseded = [&] { return attempt->isCancelled() || generation != teardownGeneration_; };
  invalidateLoginLease();
  if (secureAISession_) {
    co_await secureAISession_->stop();
    if (superseded()) co_return false;
  }
  lastError_ = error;
  if (!alreadyEmittedSpecificEvent) emit(K::Error{descriptionOf(error)});
  intentionalDisconnect_ = false;
  state_ = DirectAuthState::disconnecting;
  dropReceiveLoop(true);
  co_await stopScreenStream("session failed", false, false);
  if (superseded()) co_return false;
  co_await transport_->disconnect();
  if (superseded()) co_return false;
  resetConnectionBuffers();
  resetPostRegistrationCompatibilityState();
  state_ = DirectAuthState::failed;
  emit(K::Disconnect{});
  co_return true;
}

}  // namespace vantrel

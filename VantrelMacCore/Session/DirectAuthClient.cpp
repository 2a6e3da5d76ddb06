// The session object, its public operations, and connecting: TCP connect, authentication and
// registration.

#include "Session/DirectAuthClient.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelHeader.hpp"
#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClientParts.hpp"
#include "Support/Paths.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

Awaitable<bool> callerCancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Object

std::shared_ptr<DirectAuthClient> DirectAuthClient::create(Collaborators collaborators) {
  if (!collaborators.transport || !collaborators.comInfoSnapshotProvider || !collaborators.inputInjector ||
      !collaborators.systemCommandExecutor) {
    throw std::invalid_argument(
        "DirectAuthClient needs a transport, a system-information provider, an input "
        "injector and a system command executor");
  }
  auto screenStreamer = collaborators.screenStreamer;
  auto client = std::shared_ptr<DirectAuthClient>(new DirectAuthClient(std::move(collaborators)));
  // The screen reaches the session through its context only, and only while the session exists.
  const std::weak_ptr<DirectAuthClient> weak = client;
  SessionScreenContext context;
  context.transport = client->transport_;
  context.gate = client->parts_->gate;
  context.isLive = [weak] {
    const auto self = weak.lock();
    return self && self->isLive();
  };
  context.connectionNumber = [weak]() -> std::uint16_t {
    const auto self = weak.lock();
    return self ? self->activeConnectionNumber_ : 0;
  };
  context.nextTimestamp = [weak]() -> std::uint16_t {
    const auto self = weak.lock();
    return self ? self->nextTimestamp() : 0;
  };
  context.sendHeaderBasicPayload = [weak](Bytes payload, std::uint16_t comNum) {
    return sendFor(weak, std::move(payload), comNum);
  };
  context.emit = [weak](DirectAuthEvent::Kind kind) {
    if (const auto self = weak.lock()) self->emit(std::move(kind));
  };
  context.failSession = [weak](DirectAuthError error) { return failFor(weak, std::move(error)); };
  client->parts_->screen = SessionScreenStream::create(std::move(screenStreamer), std::move(context));
  return client;
}

DirectAuthClient::DirectAuthClient(Collaborators c)
    : transport_(std::move(c.transport)),
      strand_(transport_->executor()),
      parts_(std::make_unique<Parts>()),
      receiveLoopTask_(strand_, "manager receive loop"),
      developmentSessionID_(Uuid::random()) {
  parts_->systemLog = std::move(c.systemLog);
  parts_->comInfoSnapshotProvider = std::move(c.comInfoSnapshotProvider);
  parts_->systemCommandExecutor = std::move(c.systemCommandExecutor);
  parts_->gate = c.updateActivityGate ? std::move(c.updateActivityGate) : UpdateActivityGate::shared();
  parts_->wallClock = c.wallClock ? std::move(c.wallClock) : systemWallClock();
  parts_->development = c.developmentChannel ? c.developmentChannel() : nullptr;
  if (!parts_->development) parts_->development = makeDisabledDevelopmentChannel();
  parts_->input =
      std::make_unique<SessionInput>(std::move(c.inputInjector), parts_->gate,
                                     [this](DirectAuthEvent::Kind kind) { emit(std::move(kind)); });
  parts_->incomingFiles = std::make_unique<IncomingFileReceiver>(parts_->gate);
  parts_->deadlineWatch.emplace(strand_, "manager message and file deadlines");
}

DirectAuthClient::~DirectAuthClient() {
  // Leases end through their own release; an open incoming file is closed. Nothing is sent.
  if (auto token = receiveLoopTask_.token()) token->cancel();
  parts_->incomingFiles->reset();
}

Awaitable<void> DirectAuthClient::sendFor(std::weak_ptr<DirectAuthClient> weak, Bytes payload,
                                          std::uint16_t comNum) {
  // A session that is gone ends its part's work as a cancellation.
  auto self = weak.lock();
  if (!self) throw CancellationError();
  co_await self->sendHeaderBasicPayload(std::move(payload), comNum);
}

Awaitable<void> DirectAuthClient::failFor(std::weak_ptr<DirectAuthClient> weak, DirectAuthError error) {
  if (auto self = weak.lock()) co_await self->failFromReceiveLoop(std::move(error));
}

void DirectAuthClient::emit(DirectAuthEvent::Kind kind) {
  const DirectAuthEvent event{parts_->wallClock(), std::move(kind)};
  if (parts_->systemLog) parts_->systemLog->mirror(event);
  parts_->eventHandler.post(event);
}

bool DirectAuthClient::isLive() const noexcept {
  return state_ == DirectAuthState::authenticated && !intentionalDisconnect_;
}

// ---------------------------------------------------------------------------------------------
// Public operations

Awaitable<void> DirectAuthClient::setEventHandler(Executor receiver, EventHandler handler) {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self, ReceiverBound<EventHandler> h) -> Awaitable<void> {
                 self->parts_->eventHandler = std::move(h);
                 co_return;
               }(shared_from_this(), ReceiverBound<EventHandler>(std::move(receiver), std::move(handler))));
}

Awaitable<std::string> DirectAuthClient::currentMCPStatus() {
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self) -> Awaitable<std::string> {
    if (self->state_ != DirectAuthState::authenticated) co_return "mcp_manager_not_connected";
    co_return self->parts_->development->status();
  }(shared_from_this()));
}

Awaitable<void> DirectAuthClient::setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) {
  return runOn(strand_,
               [](std::shared_ptr<DirectAuthClient> self,
                  std::shared_ptr<AIAccountLoginContext> c) -> Awaitable<void> {
                 self->parts_->development->setAccountContext(std::move(c));
                 co_return;
               }(shared_from_this(), std::move(context)));
}

Awaitable<void> DirectAuthClient::setClipboardHandler(Executor receiver, ClipboardHandler handler) {
  return runOn(
      strand_,
      [](std::shared_ptr<DirectAuthClient> self, ReceiverBound<ClipboardHandler> h) -> Awaitable<void> {
        self->parts_->clipboardHandler = std::move(h);
        co_return;
      }(shared_from_this(), ReceiverBound<ClipboardHandler>(std::move(receiver), std::move(handler))));
}

Awaitable<void> DirectAuthClient::setPasteDestinationProvider(Executor receiver,
                                                              PasteDestinationProvider provider) {
  using Bound = ReceiverBound<PasteDestinationProvider>;
  return runOn(strand_, [](std::shared_ptr<DirectAuthClient> self, Bound p) -> Awaitable<void> {
    self->parts_->pasteDestinationProvider = std::move(p);
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
                 self->parts_->localClipboardFiles = std::move(files);
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

namespace {
// Throws `cancelled` once `disconnect()` has made the attempt stale.
void ensureCurrent(const TaskTokenPtr& attempt) {
  if (attempt->isCancelled()) throw DirectAuthError::cancelled();
}
}  // namespace

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
  self->resetSessionState();
  self->activeConnectionNumber_ = normalized.connectionNumber;
  self->parts_->development->reset();
  self->developmentSessionID_ = Uuid::random();
  auto attempt = std::make_shared<TaskToken>();
  self->connectionAttempt_ = attempt;
  self->state_ = DirectAuthState::connecting;

  auto done = co_await vantrel::attempt(self->runConnectionAttempt(normalized, attempt));
  if (self->connectionAttempt_ == attempt && done) self->connectionAttempt_.reset();
  if (done) co_return;
  // A disconnect took the session down meanwhile: the state is the disconnect's.
  if (attempt->isCancelled()) throw DirectAuthError::cancelled();

  const DirectAuthError mapped = directAuthError(done.error());
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
  parts_->desktopDemand = DesktopSessionDemand::shared().hold();

  lastError_.reset();
  emit(K::ManagerRegistrationComplete{});

  const ManagerEndpoint manager{configuration.host, configuration.port, configuration.userID,
                                configuration.connectionNumber};
  if (auto greeting = parts_->development->bind(manager)) {
    co_await sendHeaderBasicPayload(std::move(*greeting), activeConnectionNumber_);
    ensureCurrent(attempt);
  }

  startReceiveLoop();
  if (parts_->development->hasSecureSession()) {
    co_await parts_->development->startSecureSession(manager);
    ensureCurrent(attempt);
  }
}

Awaitable<void> DirectAuthClient::connectWithTimeout(DirectAuthConfiguration configuration,
                                                     TaskTokenPtr attempt) {
  emit(K::TcpConnectAttempt{configuration.host, configuration.port});
  auto connected = co_await vantrel::attempt(
      withTimeout(transport_->connect(configuration.host, configuration.port), configuration.timeout));
  if (!connected) {
    // When the caller cancelled, the race's timer may finish first; the cause is the caller.
    std::exception_ptr failure = connected.error();
    if (co_await callerCancelled()) failure = std::make_exception_ptr(CancellationError());
    if (!attempt->isCancelled()) co_await transport_->disconnect();
    ensureCurrent(attempt);
    // Errors the session knows are reported as the session's; others as they are.
    const bool known = matchError(
        failure, [](const DirectAuthError&) { return true; },
        [](const NetworkTransportError&) { return true; }, [](const TimeoutError&) { return true; },
        [](const std::exception_ptr&) { return false; });
    if (!known) {
      emit(K::TcpConnectFailure{localizedDescription(failure)});
      std::rethrow_exception(failure);
    }
    const DirectAuthError mapped = directAuthError(failure);
    emit(K::TcpConnectFailure{transportDetail(std::make_exception_ptr(mapped))});
    throw mapped;
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

  auto answer = co_await vantrel::attempt(withTimeout(collectOneFrame(), configuration.timeout));
  if (!answer) {
    std::exception_ptr failure = answer.error();
    if (co_await callerCancelled()) failure = std::make_exception_ptr(CancellationError());
    if (!attempt->isCancelled()) co_await transport_->disconnect();
    ensureCurrent(attempt);
    std::rethrow_exception(failure);
  }
  ensureCurrent(attempt);
  validateAuthResponse(*answer);
}

Awaitable<VantrelFrame> DirectAuthClient::collectOneFrame() {
  if (!parts_->pendingFrames.empty()) {
    VantrelFrame first = std::move(parts_->pendingFrames.front());
    parts_->pendingFrames.pop_front();
    co_return first;
  }
  while (true) {
    co_await checkCancellation();
    auto chunk = co_await vantrel::attempt(transport_->receive());
    if (!chunk) throw directAuthError(chunk.error());
    if (chunk->empty()) continue;
    std::vector<VantrelFrame> frames;
    try {
      frames = parts_->decoder.append(*chunk);
    } catch (const std::exception& e) {
      throw DirectAuthError::malformedResponse(localizedDescription(e));
    }
    if (frames.empty()) continue;
    for (std::size_t i = 1; i < frames.size(); ++i) parts_->pendingFrames.push_back(std::move(frames[i]));
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
  self->parts_->development->invalidateLease();
  if (self->parts_->development->hasSecureSession()) co_await self->parts_->development->stopSecureSession();
  // An attempt may have begun while the secure session stopped.
  cancelAttempt();

  // A failed session was taken down, and its end reported, by its failure path: a disconnect
  // settles it as disconnected without repeating either.
  if (self->state_ == DirectAuthState::failed) self->state_ = DirectAuthState::disconnected;
  if (self->state_ == DirectAuthState::idle || self->state_ == DirectAuthState::disconnected) {
    co_await self->transport_->disconnect();
    co_return;
  }
  const auto generation = ++self->teardownGeneration_;
  self->intentionalDisconnect_ = true;
  self->state_ = DirectAuthState::disconnecting;
  self->dropReceiveLoop(true);
  co_await self->parts_->screen->stop("disconnect", true, false);
  co_await self->transport_->disconnect();
  if (generation != self->teardownGeneration_) co_return;  // a later disconnect finishes the job
  self->resetSessionState();
  self->state_ = DirectAuthState::disconnected;
  self->emit(K::Disconnect{});
  self->intentionalDisconnect_ = false;
}

}  // namespace vantrel

// The receive loop of `DirectAuthClient`: frames read one at a time, joined and routed to the
// session's parts; and the two failure paths that end a session.

#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClientParts.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

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

Awaitable<void> DirectAuthClient::runReceiveLoop(TaskTokenPtr token) {
  const auto loopMayContinue = [this](const TaskTokenPtr& t) {
    return !t->isCancelled() && state_ == DirectAuthState::authenticated && !intentionalDisconnect_;
  };
  while (true) {
    if (!loopMayContinue(token)) co_return;
    if (!parts_->pendingFrames.empty()) {
      VantrelFrame frame = std::move(parts_->pendingFrames.front());
      parts_->pendingFrames.pop_front();
      co_await routeReceivedFrame(std::move(frame));
      continue;
    }

    auto chunk = co_await vantrel::attempt(transport_->receive());
    if (!chunk) {
      // A loop that was dropped never acts on what its last read reported.
      if (token->isCancelled() || isCancellation(chunk.error())) co_return;
      if (!intentionalDisconnect_ && state_ == DirectAuthState::authenticated) {
        co_await failFromReceiveLoop(directAuthError(chunk.error()));
      }
      co_return;
    }

    if (!loopMayContinue(token)) co_return;
    std::vector<VantrelFrame> frames;
    std::optional<DirectAuthError> decodeFailure;
    try {
      frames = parts_->decoder.append(*chunk);
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
  auto step = parts_->joiner.push(std::move(frame), VantrelClock::now().time_since_epoch());
  for (auto& reason : step.dropped) emit(K::ClipboardRejected{std::move(reason)});
  Parts::watchDeadlines(shared_from_this());

  if (!step.ready) co_return;
  VantrelFrame ready = std::move(*step.ready);
  const std::uint8_t command = ready.header.command;
  if (IncomingFileReceiver::isFileCommand(command)) {
    if (!isLive()) co_return;
    const auto now = VantrelClock::now().time_since_epoch();
    for (auto& event : parts_->incomingFiles->handleFrame(command, ready.payload, now))
      emit(std::move(event));
    Parts::watchDeadlines(shared_from_this());
  } else if (command == VantrelProtocol::headerBasicCommand && parts_->development->owns(ready.payload)) {
    co_await handleAIEnvelope(std::move(ready.payload));
  } else if (command == VantrelProtocol::headerInputCommand) {
    parts_->input->handlePacket(ready.payload);
  } else {
    emit(K::ManagerFrame{command, static_cast<long long>(ready.payload.size()), ready.header.comNum});
    co_await handleLegacyHeaderBasic(std::move(ready));
  }
}

std::optional<std::chrono::nanoseconds> DirectAuthClient::Parts::nextDeadline() const {
  const auto message = joiner.stallDeadline();
  const auto files = incomingFiles->idleDeadline();
  if (message && files) return std::min(*message, *files);
  return message ? message : files;
}

void DirectAuthClient::Parts::watchDeadlines(const std::shared_ptr<DirectAuthClient>& self) {
  auto& watch = *self->parts_->deadlineWatch;
  if (!self->parts_->nextDeadline()) {
    watch.cancel();
  } else if (!watch.isRunning()) {
    watch.start([weak = std::weak_ptr(self)](TaskTokenPtr token) {
      return deadlineWatchBody(weak, std::move(token));
    });
  }
}

Awaitable<void> DirectAuthClient::Parts::deadlineWatchBody(std::weak_ptr<DirectAuthClient> weak,
                                                           TaskTokenPtr token) {
  co_await asio::this_coro::throw_if_cancelled(false);
  while (!token->isCancelled()) {
    VantrelClock::duration wait{};
    {
      const auto self = weak.lock();
      if (!self) co_return;
      Parts& parts = *self->parts_;
      const auto now = VantrelClock::now().time_since_epoch();
      // Both report like their other failures: a dropped message, a failed transfer.
      if (auto reason = parts.joiner.expire(now)) self->emit(K::ClipboardRejected{std::move(*reason)});
      for (auto& event : parts.incomingFiles->expireIdle(now)) self->emit(std::move(event));
      const auto deadline = parts.nextDeadline();
      if (!deadline) co_return;
      // Records, data and chunks move the deadlines on; the watch looks again when one passes.
      wait = std::chrono::duration_cast<VantrelClock::duration>(*deadline - now);
    }
    if (!co_await vantrel::attempt(sleepFor(wait))) co_return;
  }
}

void DirectAuthClient::resetSessionState() {
  parts_->decoder.reset();
  parts_->pendingFrames.clear();
  parts_->joiner.reset();
  parts_->deadlineWatch->cancel();
  parts_->screen->reset();
  parts_->input->reset();
  parts_->incomingFiles->reset();
  parts_->desktopDemand.release();
  activeConnectionNumber_ = 0;
}

Awaitable<void> DirectAuthClient::failFromReceiveLoop(DirectAuthError error) {
  if (state_ != DirectAuthState::authenticated) co_return;
  const auto generation = ++teardownGeneration_;
  parts_->development->invalidateLease();
  lastError_ = error;
  emit(K::Error{eventText(error)});
  state_ = DirectAuthState::disconnecting;
  if (parts_->development->hasSecureSession()) {
    co_await parts_->development->stopSecureSession();
    if (generation != teardownGeneration_) co_return;
  }
  // The loop (this task or another) ends at its next check; a pending read ends with the
  // transport below.
  dropReceiveLoop(false);
  co_await parts_->screen->stop("session failed", true, false);
  if (generation != teardownGeneration_) co_return;
  co_await transport_->disconnect();
  if (generation != teardownGeneration_) co_return;
  resetSessionState();
  state_ = DirectAuthState::failed;
  emit(K::Disconnect{});
}

Awaitable<bool> DirectAuthClient::failAndDisconnect(DirectAuthError error, bool alreadyEmittedSpecificEvent,
                                                    TaskTokenPtr attempt) {
  const auto generation = ++teardownGeneration_;
  auto superseded = [&] { return attempt->isCancelled() || generation != teardownGeneration_; };
  parts_->development->invalidateLease();
  if (parts_->development->hasSecureSession()) {
    co_await parts_->development->stopSecureSession();
    if (superseded()) co_return false;
  }
  lastError_ = error;
  if (!alreadyEmittedSpecificEvent) emit(K::Error{eventText(error)});
  intentionalDisconnect_ = false;
  state_ = DirectAuthState::disconnecting;
  dropReceiveLoop(true);
  co_await parts_->screen->stop("session failed", false, false);
  if (superseded()) co_return false;
  co_await transport_->disconnect();
  if (superseded()) co_return false;
  resetSessionState();
  state_ = DirectAuthState::failed;
  emit(K::Disconnect{});
  co_return true;
}

}  // namespace vantrel

#include "Session/LowLatencyScreenPacketSender.hpp"

#include "Support/SystemLog.hpp"

namespace vantrel {

std::shared_ptr<LowLatencyScreenPacketSender> LowLatencyScreenPacketSender::create(
    std::shared_ptr<NetworkTransporting> transport, Packetize packetize, Completion completion) {
  return std::shared_ptr<LowLatencyScreenPacketSender>(
      new LowLatencyScreenPacketSender(std::move(transport), std::move(packetize), std::move(completion)));
}

bool isTransportDisconnection(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkTransportError& e) {
    using C = NetworkTransportError::Case;
    return e.kind() == C::notConnected || e.kind() == C::disconnected || e.kind() == C::cancelled;
  } catch (...) {
    return false;
  }
}

void LowLatencyScreenPacketSender::offer(std::uint64_t generation, EncodedScreenAccessUnit unit) {
  // A picture that is dropped goes outside the lock: its ticket wakes the streamer.
  std::optional<Waiting> dropped;
  {
    std::lock_guard guard(slotLock_);
    if (waiting_ && waiting_->unit.isKeyframe && !unit.isKeyframe && waiting_->generation == generation) {
      dropped.emplace(Waiting{generation, std::move(unit)});
      return;
    }
    dropped.swap(waiting_);
    waiting_.emplace(Waiting{generation, std::move(unit)});
    if (draining_) return;
    draining_ = true;
  }
  spawnTask(transport_->executor(), drain(shared_from_this()), "screen packet drain");
}

void LowLatencyScreenPacketSender::discardPending() {
  std::optional<Waiting> dropped;  // freed outside the lock
  std::lock_guard guard(slotLock_);
  dropped.swap(waiting_);
}

bool LowLatencyScreenPacketSender::hasPending() const {
  std::lock_guard guard(slotLock_);
  return waiting_.has_value();
}

bool LowLatencyScreenPacketSender::isDraining() const {
  std::lock_guard guard(slotLock_);
  return draining_;
}

std::optional<LowLatencyScreenPacketSender::Waiting> LowLatencyScreenPacketSender::take() {
  std::lock_guard guard(slotLock_);
  std::optional<Waiting> next;
  next.swap(waiting_);
  // An empty slot ends the drain under the lock, so the next offer starts a new one.
  if (!next) draining_ = false;
  return next;
}

Awaitable<void> LowLatencyScreenPacketSender::drain(std::shared_ptr<LowLatencyScreenPacketSender> self) {
  while (auto waiting = self->take()) {
    // The streamer takes its next picture once this one has been sent, or has come to nothing.
    auto handOff = std::move(waiting->unit.handOff);
    std::optional<Packet> packet;
    try {
      packet = self->packetize_(std::move(waiting->unit), waiting->generation);
    } catch (...) {
      SystemLog("local.vantrel.VantrelMac", "connection")
          .error("Screen packet creation failed: {}", localizedDescription(std::current_exception()));
    }
    if (!packet) continue;

    std::exception_ptr failure;
    try {
      co_await self->transport_->send(std::move(packet->data));
    } catch (...) {
      failure = std::current_exception();
    }
    handOff.release();
    auto result = failure ? LowLatencyScreenSendResult::failed(packet->metadata.generation,
                                                               localizedDescription(failure),
                                                               isTransportDisconnection(failure))
                          : LowLatencyScreenSendResult::sent(packet->metadata);
    if (self->completion_) {
      try {
        co_await self->completion_(std::move(result));
      } catch (...) {
        // A completion that throws must not leave the sender draining forever.
        SystemLog("local.vantrel.VantrelMac", "connection")
            .error("Screen packet completion failed: {}", localizedDescription(std::current_exception()));
      }
    }
    if (failure) {
      // The connection failed: what waits would fail too; the session stops the stream.
      self->discardPending();
    }
  }
}

}  // namespace vantrel

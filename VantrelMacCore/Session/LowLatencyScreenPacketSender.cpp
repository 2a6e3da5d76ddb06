#include "Session/LowLatencyScreenPacketSender.hpp"

#include "Support/SystemLog.hpp"

namespace vantrel {

std::shared_ptr<LowLatencyScreenPacketSender> LowLatencyScreenPacketSender::create(
    std::shared_ptr<NetworkTransporting> transport) {
  return std::shared_ptr<LowLatencyScreenPacketSender>(
      new LowLatencyScreenPacketSender(std::move(transport)));
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

void LowLatencyScreenPacketSender::enqueue(Bytes data, LowLatencyScreenPacketMetadata metadata,
                                           Completion completion) {
  if (pending_ && pending_->metadata.isKeyframe && !metadata.isKeyframe) return;
  pending_.emplace(PendingPacket{std::move(data), metadata, std::move(completion)});
  if (!isDraining_) {
    isDraining_ = true;
    spawnTask(transport_->executor(), drain(shared_from_this()), "screen packet drain");
  }
}

void LowLatencyScreenPacketSender::discardPending() { pending_.reset(); }

Awaitable<void> LowLatencyScreenPacketSender::drain(std::shared_ptr<LowLatencyScreenPacketSender> self) {
  (void)self;
  while (true) {
    if (!pending_) {
      isDraining_ = false;
      co_return;
    }
    auto packet = std::move(*pending_);
    pending_.reset();

    std::exception_ptr failure;
    try {
      co_await transport_->send(std::move(packet.data));
    } catch (...) {
      failure = std::current_exception();
    }

    auto result = failure ? LowLatencyScreenSendResult::failed(packet.metadata.generation,
                                                               localizedDescription(failure),
                                                               isTransportDisconnection(failure))
                          : LowLatencyScreenSendResult::sent(packet.metadata);
    if (packet.completion) {
      try {
        co_await packet.completion(std::move(result));
      } catch (...) {
        // A completion that throws must not leave the sender draining forever.
        SystemLog("local.vantrel.VantrelMac", "connection")
            .error("Screen packet completion failed: {}", localizedDescription(std::current_exception()));
      }
    }

    if (failure) {
      pending_.reset();
      isDraining_ = false;
      co_return;
    }
  }
}

}  // namespace vantrel

#pragma once

// Sends a session's screen packets without ever building a queue: one packet in flight, at most
// one waiting; a newer packet replaces the waiting one, except that a waiting keyframe is never
// displaced by a non-keyframe. Live video skips stale pictures instead of falling behind.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Support/Async.hpp"
#include "Support/Bytes.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

struct LowLatencyScreenPacketMetadata {
  std::uint64_t generation = 0;  // the stream generation when the packet was queued
  long long byteCount = 0;       // access-unit bytes, frame headers not included
  long long chunkCount = 0;      // frames the unit was cut into
  bool isKeyframe = false;
  friend bool operator==(const LowLatencyScreenPacketMetadata&,
                         const LowLatencyScreenPacketMetadata&) = default;
};

struct LowLatencyScreenSendResult {
  enum class Case { sent, failed };

  static LowLatencyScreenSendResult sent(LowLatencyScreenPacketMetadata metadata) {
    return {Case::sent, metadata, metadata.generation, {}, false};
  }
  static LowLatencyScreenSendResult failed(std::uint64_t generation, std::string detail,
                                           bool transportDisconnected) {
    return {Case::failed, {}, generation, std::move(detail), transportDisconnected};
  }

  Case kind = Case::sent;
  LowLatencyScreenPacketMetadata metadata;  // `sent` only
  std::uint64_t generation = 0;             // the packet's generation (both cases)
  std::string detail;                       // `failed`: the error's localized description
  bool transportDisconnected = false;       // `failed`: the connection is gone

  friend bool operator==(const LowLatencyScreenSendResult&, const LowLatencyScreenSendResult&) = default;
};

// Lives on its session's strand (the transport's executor): `enqueue` and `discardPending` must
// be called there, and the send loop runs there.
class LowLatencyScreenPacketSender : public std::enable_shared_from_this<LowLatencyScreenPacketSender> {
 public:
  // Called at most once, and only for a packet that was taken out of the slot and tried.
  using Completion = std::function<Awaitable<void>(LowLatencyScreenSendResult)>;

  static std::shared_ptr<LowLatencyScreenPacketSender> create(std::shared_ptr<NetworkTransporting> transport);

  // Never suspends, never fails. A replaced or refused packet never gets its completion.
  void enqueue(Bytes data, LowLatencyScreenPacketMetadata metadata, Completion completion);
  // Drops the waiting packet, if any, without its completion.
  void discardPending();

  bool hasPending() const noexcept { return pending_.has_value(); }
  bool isDraining() const noexcept { return isDraining_; }
  Executor executor() const { return transport_->executor(); }

 private:
  struct PendingPacket {
    Bytes data;
    LowLatencyScreenPacketMetadata metadata;
    Completion completion;
  };

  explicit LowLatencyScreenPacketSender(std::shared_ptr<NetworkTransporting> transport)
      : transport_(std::move(transport)) {}
  // The task owns the sender while it runs, so a packet taken out of the slot is always finished.
  Awaitable<void> drain(std::shared_ptr<LowLatencyScreenPacketSender> self);

  std::shared_ptr<NetworkTransporting> transport_;
  std::optional<PendingPacket> pending_;
  bool isDraining_ = false;
};

// True for the transport errors that mean the connection is gone.
bool isTransportDisconnection(const std::exception_ptr& error) noexcept;

}  // namespace vantrel

#pragma once

// The one hand-off on a session's screen path. The streamer's thread offers each encoded picture
// straight into one slot and returns at once; the session's strand takes it from there, cuts it
// into frames and sends it. One picture is in flight, at most one waits: a newer picture replaces
// the waiting one, except that a waiting keyframe is never displaced by a non-keyframe (the
// decoder needs it; the pictures after it are the ones to skip). Live video skips stale pictures
// instead of falling behind, and nothing on the path can grow.
//
// A picture's hand-off ticket stays with it until its send is over (or it is replaced, refused or
// discarded): the real streamer takes no new picture meanwhile, so on a link slower than the
// stream the slot never has to replace a picture the next ones refer to; the stream's rate
// follows the link instead.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Session/ScreenStreamingProviding.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

struct LowLatencyScreenPacketMetadata {
  std::uint64_t generation = 0;  // the stream generation the picture belongs to
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

// The slot is the only state shared with a foreign thread and has its own small lock; the send
// loop, `packetize` and `completion` run on the transport's strand.
class LowLatencyScreenPacketSender : public std::enable_shared_from_this<LowLatencyScreenPacketSender> {
 public:
  struct Packet {
    Bytes data;  // the frames, joined
    LowLatencyScreenPacketMetadata metadata;
  };
  // Turns a picture into its frames just before it is sent, or nothing to skip it (a stale
  // generation, a session that is no longer live).
  using Packetize =
      std::function<std::optional<Packet>(EncodedScreenAccessUnit unit, std::uint64_t generation)>;
  // Called once for every packet that was tried, with its outcome.
  using Completion = std::function<Awaitable<void>(LowLatencyScreenSendResult)>;

  static std::shared_ptr<LowLatencyScreenPacketSender> create(std::shared_ptr<NetworkTransporting> transport,
                                                              Packetize packetize, Completion completion);

  // Any thread; never blocks for longer than the slot's lock, never fails.
  void offer(std::uint64_t generation, EncodedScreenAccessUnit unit);
  // Any thread: drops the waiting picture, if any.
  void discardPending();

  bool hasPending() const;
  bool isDraining() const;
  Executor executor() const { return transport_->executor(); }

 private:
  struct Waiting {
    std::uint64_t generation = 0;
    EncodedScreenAccessUnit unit;
  };

  LowLatencyScreenPacketSender(std::shared_ptr<NetworkTransporting> transport, Packetize packetize,
                               Completion completion)
      : transport_(std::move(transport)),
        packetize_(std::move(packetize)),
        completion_(std::move(completion)) {}
  std::optional<Waiting> take();
  // The task owns the sender while it runs, so a packet taken out of the slot is always finished.
  static Awaitable<void> drain(std::shared_ptr<LowLatencyScreenPacketSender> self);

  const std::shared_ptr<NetworkTransporting> transport_;
  const Packetize packetize_;
  const Completion completion_;
  mutable std::mutex slotLock_;
  std::optional<Waiting> waiting_;
  bool draining_ = false;
};

// True for the transport errors that mean the connection is gone.
bool isTransportDisconnection(const std::exception_ptr& error) noexcept;

}  // namespace vantrel

#pragma once

// Joins a manager's basic message that arrives in several frames (command 1, numChunks > 1) into
// one payload, so that clipboard texts and images larger than one chunk reach their handler
// whole. Every other frame passes through unchanged, also between the chunks of a message. The
// chunks of one message carry the same timestamp, chunk count and comNum and sequence numbers
// 0…n−1; a message that another basic message interrupts, that has a gap, arrives without its
// start, announces more chunks than can fit, grows past the limit or stalls (no chunk for
// `stallLimit`) is dropped, and the reason is reported. Memory stays below the limit plus one
// chunk. Pure value code: no I/O, no threads; time is given by the caller.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Protocol/VantrelFrame.hpp"

namespace vantrel {

class ManagerMessageJoiner {
 public:
  // The largest clipboard image plus room for its envelope.
  static constexpr std::size_t maximumMessageBytes = 64u * 1024u * 1024u + 64u * 1024u;
  static constexpr std::size_t chunkBytes = 60000;
  static constexpr std::size_t maximumMessageChunks = (maximumMessageBytes + chunkBytes - 1) / chunkBytes;

  static constexpr std::chrono::seconds stallLimit{30};
  // A point on the caller's steady clock (time since its epoch).
  using Instant = std::chrono::nanoseconds;

  struct Step {
    std::vector<std::string> dropped;   // why messages were dropped by this frame, in order
    std::optional<VantrelFrame> ready;  // a frame to serve now (a joined message or the frame itself)
  };

  Step push(VantrelFrame frame, Instant now = Instant{});
  // Drops a message that has had no chunk for `stallLimit` at `now`; the reason, if it did.
  std::optional<std::string> expire(Instant now);
  // When the message being collected stalls, if one is.
  std::optional<Instant> stallDeadline() const noexcept;
  // Forgets a message being collected (a new connection), without a report.
  void reset() noexcept;

  bool isCollecting() const noexcept { return message_.has_value(); }
  std::size_t collectedBytes() const noexcept { return message_ ? message_->payload.size() : 0; }

 private:
  struct Message {
    VantrelHeader header;  // of the first chunk
    std::uint16_t nextSequence = 0;
    bool discarding = false;  // dropped already: its remaining chunks are skipped silently
    Bytes payload;
    Instant lastChunk{};
  };
  std::optional<Message> message_;
};

}  // namespace vantrel

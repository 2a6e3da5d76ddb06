#pragma once

// The hand-over of encoded pictures from a streamer's own thread to the session's strand. The
// streamer never waits: `put` stores the unit and returns at once. At most one unit waits: a
// newer unit replaces a waiting one, except that a waiting keyframe is never displaced by a
// non-keyframe (the decoder needs it; the pictures after it are the ones to skip). One mailbox
// belongs to one stream start, so units of an earlier start can be told apart and dropped.

#include <cstdint>
#include <mutex>
#include <optional>

#include "Session/ScreenStreamingProviding.hpp"

namespace vantrel {

class ScreenUnitMailbox {
 public:
  enum class PutResult {
    scheduleDrain,  // stored; nobody is draining yet, so the caller must schedule a drain
    stored,         // stored; a drain is already scheduled and will pick it up
    dropped,        // not stored: the mailbox is closed or a keyframe is waiting
  };

  explicit ScreenUnitMailbox(std::uint64_t start) : start_(start) {}
  ScreenUnitMailbox(const ScreenUnitMailbox&) = delete;
  ScreenUnitMailbox& operator=(const ScreenUnitMailbox&) = delete;

  // Any thread; never blocks for longer than the slot's own lock.
  PutResult put(EncodedScreenAccessUnit unit);
  // The drain's side: the waiting unit, or nothing, in which case the drain ends and the next
  // `put` schedules a new one.
  std::optional<EncodedScreenAccessUnit> take();
  // Drops the waiting unit and refuses every later one.
  void close();

  std::uint64_t start() const noexcept { return start_; }
  bool isClosed() const;
  bool hasWaitingUnit() const;
  // Units replaced or refused since the mailbox was made (closing counts the dropped one too).
  std::uint64_t droppedCount() const;

 private:
  const std::uint64_t start_;
  mutable std::mutex mutex_;
  std::optional<EncodedScreenAccessUnit> waiting_;
  bool drainScheduled_ = false;
  bool closed_ = false;
  std::uint64_t dropped_ = 0;
};

}  // namespace vantrel

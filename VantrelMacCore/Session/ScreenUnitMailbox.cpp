#include "Session/ScreenUnitMailbox.hpp"

#include <utility>

namespace vantrel {

ScreenUnitMailbox::PutResult ScreenUnitMailbox::put(EncodedScreenAccessUnit unit) {
  // The replaced unit is destroyed after the lock is released.
  std::optional<EncodedScreenAccessUnit> replaced;
  std::lock_guard lock(mutex_);
  if (closed_ || (waiting_ && waiting_->isKeyframe && !unit.isKeyframe)) {
    ++dropped_;
    return PutResult::dropped;
  }
  if (waiting_) {
    ++dropped_;
    replaced = std::move(waiting_);
  }
  waiting_ = std::move(unit);
  if (drainScheduled_) return PutResult::stored;
  drainScheduled_ = true;
  return PutResult::scheduleDrain;
}

std::optional<EncodedScreenAccessUnit> ScreenUnitMailbox::take() {
  std::lock_guard lock(mutex_);
  if (!waiting_) {
    drainScheduled_ = false;
    return std::nullopt;
  }
  std::optional<EncodedScreenAccessUnit> unit = std::move(waiting_);
  waiting_.reset();
  return unit;
}

void ScreenUnitMailbox::close() {
  std::optional<EncodedScreenAccessUnit> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  if (waiting_) {
    ++dropped_;
    dropped = std::move(waiting_);
    waiting_.reset();
  }
}

bool ScreenUnitMailbox::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool ScreenUnitMailbox::hasWaitingUnit() const {
  std::lock_guard lock(mutex_);
  return waiting_.has_value();
}

std::uint64_t ScreenUnitMailbox::droppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace vantrel

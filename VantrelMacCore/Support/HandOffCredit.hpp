#pragma once

// One item at a time between a producer that must never block and a consumer that may take long
// to finish with it. The producer takes the credit with each item it hands over and makes no new
// item while the credit is out; the ticket travels with the item and gives the credit back when
// the consumer lets go of it, whatever became of the item (used, replaced, refused, dropped), so
// that no path can leave the producer waiting for good.
//
// The screen stream uses it so that the capture thread takes no picture while the previous one
// still waits to be sent: nothing is ever replaced or lost, and the damage gathered meanwhile goes
// into the next picture.

#include <atomic>
#include <functional>
#include <memory>

namespace vantrel {

class HandOffCredit : public std::enable_shared_from_this<HandOffCredit> {
 public:
  // Gives the credit back when its last copy goes (or on release()). An empty ticket holds nothing.
  class Ticket {
   public:
    Ticket() = default;
    explicit operator bool() const noexcept { return static_cast<bool>(hold_); }
    void release() noexcept { hold_.reset(); }

   private:
    friend class HandOffCredit;
    explicit Ticket(std::shared_ptr<void> hold) : hold_(std::move(hold)) {}
    std::shared_ptr<void> hold_;
  };

  // `onReturn` runs on the thread that lets go of the last ticket's copy, outside any lock; it
  // must only wake the producer.
  static std::shared_ptr<HandOffCredit> create(std::function<void()> onReturn);

  // Whether the producer may hand over an item now.
  bool isFree() const noexcept { return !out_.load(std::memory_order_acquire); }
  // Takes the credit for one item (the producer's thread only; the credit must be free).
  Ticket take();

 private:
  explicit HandOffCredit(std::function<void()> onReturn) : onReturn_(std::move(onReturn)) {}
  void giveBack() noexcept;

  const std::function<void()> onReturn_;
  std::atomic<bool> out_{false};
};

}  // namespace vantrel

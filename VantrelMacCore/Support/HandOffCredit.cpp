#include "Support/HandOffCredit.hpp"

namespace vantrel {

std::shared_ptr<HandOffCredit> HandOffCredit::create(std::function<void()> onReturn) {
  return std::shared_ptr<HandOffCredit>(new HandOffCredit(std::move(onReturn)));
}

HandOffCredit::Ticket HandOffCredit::take() {
  out_.store(true, std::memory_order_release);
  // The ticket keeps the credit alive, so it can always be given back.
  auto self = shared_from_this();
  return Ticket(std::shared_ptr<void>(self.get(), [self](void*) { self->giveBack(); }));
}

void HandOffCredit::giveBack() noexcept {
  out_.store(false, std::memory_order_release);
  if (!onReturn_) return;
  try {
    onReturn_();
  } catch (...) {
    // Waking the producer cannot fail in a way anyone could act on here.
  }
}

}  // namespace vantrel

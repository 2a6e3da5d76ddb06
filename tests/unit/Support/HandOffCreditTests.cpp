#include <gtest/gtest.h>

#include <thread>

#include "Support/HandOffCredit.hpp"

namespace vantrel {
namespace {

// The credit comes back once, when the last copy of the ticket goes, and wakes the producer then;
// a ticket keeps the credit alive after its producer has let go of it.
TEST(HandOffCredit, ComesBackOnceWhenTheLastCopyOfTheTicketGoes) {
  int woken = 0;
  auto credit = HandOffCredit::create([&] { ++woken; });
  EXPECT_TRUE(credit->isFree());
  auto ticket = credit->take();
  EXPECT_FALSE(credit->isFree());
  auto copy = ticket;
  ticket.release();
  EXPECT_FALSE(credit->isFree()) << "a copy still holds it";
  EXPECT_EQ(woken, 0);
  const std::weak_ptr<HandOffCredit> weak = credit;
  credit.reset();
  ASSERT_FALSE(weak.expired()) << "the ticket keeps it";
  std::thread([moved = std::move(copy)]() mutable { moved.release(); }).join();
  EXPECT_EQ(woken, 1);
  EXPECT_TRUE(weak.expired());
  HandOffCredit::Ticket empty;
  EXPECT_FALSE(empty);
  empty.release();  // holds nothing: nothing happens
  EXPECT_EQ(woken, 1);
}

}  // namespace
}  // namespace vantrel

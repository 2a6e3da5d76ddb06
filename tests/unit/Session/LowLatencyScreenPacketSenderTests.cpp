#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/redirect_error.hpp>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Session/LowLatencyScreenPacketSender.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeTransport.hpp"

namespace vantrel {
namespace {

using testing::FakeTransport;

// The packets' bytes are their names; completions are recorded with the name that was sent.
class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }

  void reset() {
    transport = std::make_shared<FakeTransport>(io.get_executor());
    testing::runAwaitable(io, transport->connect("127.0.0.1", 9000));
    completions.clear();
    sender = LowLatencyScreenPacketSender::create(
        transport,
        [this](EncodedScreenAccessUnit unit,
               std::uint64_t generation) -> std::optional<LowLatencyScreenPacketSender::Packet> {
          if (generation == staleGeneration) return std::nullopt;
          const LowLatencyScreenPacketMetadata metadata{generation, unit.byteCount(), 1, unit.isKeyframe};
          return LowLatencyScreenPacketSender::Packet{std::move(unit.annexBData), metadata};
        },
        [this](LowLatencyScreenSendResult result) -> Awaitable<void> {
          completions.push_back(result);
          if (onCompletion) co_await onCompletion();
        });
  }

  void offer(const std::string& name, bool keyframe, std::uint64_t generation = 1) {
    sender->offer(generation, EncodedScreenAccessUnit{toBytes(name), keyframe});
  }
  // Offers a picture with a hand-off ticket of its own, as the streamer does; the returned credit
  // shows whether the ticket is still held.
  std::shared_ptr<HandOffCredit> offerHeld(const std::string& name, bool keyframe,
                                           std::uint64_t generation = 1) {
    auto credit = HandOffCredit::create([this] { ++ticketsReturned; });
    sender->offer(generation, EncodedScreenAccessUnit{toBytes(name), keyframe, credit->take()});
    return credit;
  }
  void waitHeld() {
    ASSERT_TRUE(testing::runUntil(io, [&] { return transport->heldSendCount() == 1; }));
  }
  void releaseOne() {
    ASSERT_EQ(transport->heldSendCount(), 1u);
    transport->releaseOneSend();
    testing::drain(io);
  }
  void waitIdle() {
    ASSERT_TRUE(testing::runUntil(io, [&] { return !sender->isDraining(); }));
    testing::drain(io);
  }
  std::vector<std::string> sentNames() const {
    std::vector<std::string> names;
    for (const auto& bytes : transport->sent()) names.push_back(toString(bytes));
    return names;
  }

  asio::io_context io;
  std::shared_ptr<FakeTransport> transport;
  std::shared_ptr<LowLatencyScreenPacketSender> sender;
  std::vector<LowLatencyScreenSendResult> completions;
  std::function<Awaitable<void>()> onCompletion;
  std::uint64_t staleGeneration = 0;
  std::atomic<int> ticketsReturned{0};
};

TEST_F(SenderTest, SinglePacketIsSentAndCompleted) {
  offer("A", false, 7);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"A"});
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0], LowLatencyScreenSendResult::sent({7, 1, 1, false}));
  EXPECT_FALSE(sender->hasPending());
}

// What is sent after a held packet B, given what was offered meanwhile.
TEST_F(SenderTest, ReplacementTable) {
  struct Row {
    std::vector<std::tuple<std::string, bool, std::uint64_t>> offered;  // name, keyframe, generation
    std::string sentAfterB;
  };
  const std::vector<Row> rows{
      {{{"n1", false, 1}, {"n2", false, 1}}, "n2"},  // non-key replaced by non-key
      {{{"n1", false, 1}, {"K", true, 1}}, "K"},     // non-key replaced by keyframe
      {{{"K1", true, 1}, {"K2", true, 1}}, "K2"},    // keyframe replaced by keyframe
      {{{"K", true, 1}, {"d", false, 1}}, "K"},      // keyframe kept, non-key dropped
      {{{"K", true, 1}, {"d1", false, 1}, {"d2", false, 1}}, "K"},
      {{{"n", false, 1}, {"K", true, 1}, {"d", false, 1}}, "K"},
      {{{"K", true, 1}, {"new", false, 2}}, "new"},  // a stale keyframe does not block a new stream
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sentAfterB);
    reset();
    transport->holdSends(true);
    offer("B", false);
    waitHeld();
    for (const auto& [name, key, generation] : row.offered) offer(name, key, generation);
    EXPECT_TRUE(sender->hasPending());
    releaseOne();  // the packet in flight is never affected by the waiting slot
    waitHeld();
    releaseOne();
    waitIdle();
    EXPECT_EQ(sentNames(), (std::vector<std::string>{"B", row.sentAfterB}));
    EXPECT_EQ(completions.size(), 2u);  // only the packets that were tried
  }
}

TEST_F(SenderTest, AStalePictureIsSkippedWithoutACompletion) {
  staleGeneration = 3;
  offer("old", true, 3);
  waitIdle();
  offer("new", false, 4);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"new"});
  EXPECT_EQ(completions.size(), 1u);
}

TEST_F(SenderTest, NextSendWaitsForTheCompletion) {
  Timer gate(io.get_executor());
  gate.expires_at(VantrelClock::time_point::max());
  bool released = false;
  onCompletion = [&]() -> Awaitable<void> {
    if (released) co_return;
    std::error_code ec;
    co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    released = true;
  };
  offer("A", false);
  ASSERT_TRUE(testing::runUntil(io, [&] { return transport->sent().size() == 1; }));
  offer("B", false);
  testing::drain(io);
  // A's completion is suspended: B waits in the slot, not on the wire.
  EXPECT_EQ(sentNames(), std::vector<std::string>{"A"});
  EXPECT_TRUE(sender->hasPending());
  gate.cancel();
  waitIdle();
  EXPECT_EQ(sentNames(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(SenderTest, FailureClassification) {
  struct Row {
    std::exception_ptr error;
    bool disconnected;
    std::string detail;
  };
  const std::vector<Row> rows{
      {std::make_exception_ptr(NetworkTransportError::disconnected()), true,
       "The TCP connection was closed."},
      {std::make_exception_ptr(NetworkTransportError::notConnected()), true,
       "Not connected to a remote endpoint."},
      {std::make_exception_ptr(NetworkTransportError::cancelled()), true,
       "The network operation was cancelled."},
      {std::make_exception_ptr(NetworkTransportError::timedOut()), false, "The network operation timed out."},
      {std::make_exception_ptr(NetworkTransportError::sendFailed("EPIPE")), false, "TCP send failed: EPIPE"},
      {std::make_exception_ptr(CancellationError()), false,
       "The operation couldn\u2019t be completed. (Swift.CancellationError error 1.)"},
      {std::make_exception_ptr(std::runtime_error("other")), false, "other"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.detail);
    completions.clear();
    transport->failSends(row.error);
    offer("P", true, 42);
    waitIdle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], LowLatencyScreenSendResult::failed(42, row.detail, row.disconnected));
  }
  EXPECT_TRUE(transport->sent().empty());
}

TEST_F(SenderTest, WhatWaitsDuringAFailedSendIsNeverSent) {
  transport->holdSends(true);
  offer("B", false);
  waitHeld();
  offer("A", true);
  testing::runAwaitable(io, transport->disconnect());  // fails the held send
  waitIdle();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].kind, LowLatencyScreenSendResult::Case::failed);
  EXPECT_FALSE(sender->hasPending());
  EXPECT_TRUE(transport->sent().empty());

  // The next offer starts a new drain and is sent normally.
  transport->holdSends(false);
  testing::runAwaitable(io, transport->connect("127.0.0.1", 9000));
  offer("N", false);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"N"});
}

TEST_F(SenderTest, DiscardPendingLeavesThePacketInFlight) {
  transport->holdSends(true);
  offer("B", false);
  waitHeld();
  offer("K", true);
  sender->discardPending();
  EXPECT_FALSE(sender->hasPending());
  releaseOne();
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"B"});
}

TEST_F(SenderTest, ThrowingCompletionDoesNotStallTheSender) {
  onCompletion = []() -> Awaitable<void> {
    throw std::runtime_error("handler bug");
    co_return;
  };
  offer("A", false);
  waitIdle();
  offer("B", false);
  waitIdle();
  EXPECT_EQ(sentNames(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(SenderTest, DrainKeepsTheSenderAliveUntilItEnds) {
  transport->holdSends(true);
  offer("A", false);
  waitHeld();
  std::weak_ptr<LowLatencyScreenPacketSender> weak = sender;
  sender.reset();
  EXPECT_FALSE(weak.expired());
  transport->releaseOneSend();
  ASSERT_TRUE(testing::runUntil(io, [&] { return weak.expired(); }));
  EXPECT_EQ(completions.size(), 1u);
}

// A capture thread offers while the strand sends: every keyframe offered after the last send
// began reaches the wire before anything newer, nothing is sent twice, and the slot never holds
// more than one picture (what is sent is a subsequence of what was offered, in order).
TEST_F(SenderTest, OffersFromAnotherThreadKeepOrderAndKeyframes) {
  constexpr int count = 2000;
  auto work = asio::make_work_guard(io);  // the offers arrive from outside the context
  std::thread producer([&] {
    for (int i = 0; i < count; ++i) offer(std::to_string(i) + (i % 50 == 0 ? "K" : ""), i % 50 == 0);
    offer("end", true);
  });
  ASSERT_TRUE(testing::runUntil(io, [&] {
    const auto names = sentNames();
    return !names.empty() && names.back() == "end";
  }));
  producer.join();
  work.reset();
  waitIdle();
  const auto names = sentNames();
  int previous = -1;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    const int index = std::stoi(names[i]);
    EXPECT_GT(index, previous);
    // A non-keyframe is never sent while a keyframe offered before it was skipped.
    const bool isKey = names[i].back() == 'K';
    if (!isKey) {
      EXPECT_TRUE(previous >= 0 && index / 50 == previous / 50) << names[i];
    }
    previous = index;
  }
  EXPECT_EQ(completions.size(), names.size());
}

// The streamer takes its next picture only once the sender is done with the previous one: the
// ticket stays out while the picture waits and while it is being sent, and comes back once the
// transport has taken it, before the session has even looked at the result.
TEST_F(SenderTest, ThePictureHoldsItsTicketUntilItsSendIsOver) {
  transport->holdSends(true);
  auto first = offerHeld("A", true);
  waitHeld();
  EXPECT_FALSE(first->isFree()) << "being sent";
  auto second = offerHeld("B", false);
  testing::drain(io);
  EXPECT_FALSE(second->isFree()) << "waiting";
  Timer gate(io.get_executor());
  gate.expires_at(VantrelClock::time_point::max());
  onCompletion = [&]() -> Awaitable<void> {
    std::error_code ec;
    co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  };
  releaseOne();
  EXPECT_TRUE(first->isFree()) << "sent, although its completion has not returned";
  EXPECT_FALSE(second->isFree());
  EXPECT_EQ(ticketsReturned.load(), 1);
  onCompletion = nullptr;
  gate.cancel();
  waitHeld();
  releaseOne();
  waitIdle();
  EXPECT_TRUE(second->isFree());
  EXPECT_EQ(ticketsReturned.load(), 2);
  EXPECT_EQ(sentNames(), (std::vector<std::string>{"A", "B"}));
}

// Every way a picture can come to nothing gives its ticket back, once, so that the capture thread
// is never left waiting for a credit no send will return.
TEST_F(SenderTest, APictureThatIsNeverSentGivesItsTicketBack) {
  // While "B" is being sent, "W" waits; then W comes to nothing in one of these ways.
  enum class Fate { replaced, refusedBehindAWaitingKeyframe, discarded, ofAStoppedStream, sendFailed };
  for (const auto fate : {Fate::replaced, Fate::refusedBehindAWaitingKeyframe, Fate::discarded,
                          Fate::ofAStoppedStream, Fate::sendFailed}) {
    SCOPED_TRACE(static_cast<int>(fate));
    reset();
    staleGeneration = 0;
    ticketsReturned = 0;
    transport->holdSends(true);
    auto inFlight = offerHeld("B", false);
    waitHeld();
    std::shared_ptr<HandOffCredit> keyframe;
    if (fate == Fate::refusedBehindAWaitingKeyframe) keyframe = offerHeld("K", true);
    auto waiting = offerHeld("W", false);
    switch (fate) {
      case Fate::replaced: offer("newer", false); break;
      case Fate::refusedBehindAWaitingKeyframe: break;
      case Fate::discarded: sender->discardPending(); break;
      case Fate::ofAStoppedStream: staleGeneration = 1; break;
      case Fate::sendFailed: testing::runAwaitable(io, transport->disconnect()); break;
    }
    if (fate != Fate::ofAStoppedStream && fate != Fate::sendFailed) {
      EXPECT_TRUE(waiting->isFree()) << "given back as soon as it is dropped";
    }
    if (transport->heldSendCount() == 1) transport->releaseOneSend();
    transport->holdSends(false);
    waitIdle();
    EXPECT_TRUE(inFlight->isFree());
    EXPECT_TRUE(waiting->isFree());
    if (keyframe) {
      EXPECT_TRUE(keyframe->isFree());
    }
    EXPECT_EQ(ticketsReturned.load(), keyframe ? 3 : 2) << "each ticket comes back once";
    for (const auto& name : sentNames()) EXPECT_NE(name, "W");
  }
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Session/LowLatencyScreenPacketSender.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeTransport.hpp"

namespace vantrel {
namespace {

using testing::FakeTransport;

class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport = std::make_shared<FakeTransport>(io.get_executor());
    testing::runAwaitable(io, transport->connect("127.0.0.1", 9000));
    sender = LowLatencyScreenPacketSender::create(transport);
  }

  // Runs `action` on the sender's strand and lets everything that is ready run.
  template <typename F>
  void onStrand(F action) {
    bool done = false;
    asio::post(sender->executor(), [&] {
      action();
      done = true;
    });
    ASSERT_TRUE(testing::runUntil(io, [&] { return done; }));
    testing::drain(io);
  }

  // Enqueues a packet whose bytes are its name; its completion records the result.
  void enqueue(const std::string& name, bool keyframe, std::uint64_t generation = 1) {
    onStrand([&] {
      sender->enqueue(
          toBytes(name),
          LowLatencyScreenPacketMetadata{generation, static_cast<long long>(name.size()), 1, keyframe},
          [this, name](LowLatencyScreenSendResult result) -> Awaitable<void> {
            completions.emplace_back(name, std::move(result));
            co_return;
          });
    });
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
  std::vector<std::string> completedNames() const {
    std::vector<std::string> names;
    for (const auto& [name, result] : completions) names.push_back(name);
    return names;
  }

  asio::io_context io;
  std::shared_ptr<FakeTransport> transport;
  std::shared_ptr<LowLatencyScreenPacketSender> sender;
  std::vector<std::pair<std::string, LowLatencyScreenSendResult>> completions;
};

TEST_F(SenderTest, SinglePacketIsSentAndCompleted) {
  EXPECT_FALSE(sender->isDraining());
  EXPECT_FALSE(sender->hasPending());
  enqueue("A", false, 7);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"A"});
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].second, LowLatencyScreenSendResult::sent({7, 1, 1, false}));
  EXPECT_FALSE(sender->hasPending());
}

// Replacement table: what is sent after a held packet B, given what was enqueued meanwhile.
TEST_F(SenderTest, ReplacementTable) {
  struct Row {
    std::vector<std::pair<std::string, bool>> queued;  // name, keyframe
    std::string sentAfterB;
  };
  const std::vector<Row> rows{
      {{{"n1", false}, {"n2", false}}, "n2"},  // non-key replaced by non-key
      {{{"n1", false}, {"K", true}}, "K"},     // non-key replaced by keyframe
      {{{"K1", true}, {"K2", true}}, "K2"},    // keyframe replaced by keyframe
      {{{"K", true}, {"d", false}}, "K"},      // keyframe kept, non-key dropped
      {{{"K", true}, {"d1", false}, {"d2", false}}, "K"},
      {{{"n", false}, {"K", true}, {"d", false}}, "K"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sentAfterB);
    SetUp();
    completions.clear();
    transport->holdSends(true);
    enqueue("B", false);
    waitHeld();
    for (const auto& [name, key] : row.queued) enqueue(name, key);
    EXPECT_TRUE(sender->hasPending());
    // The packet in flight is never affected by the waiting slot.
    releaseOne();
    waitHeld();
    releaseOne();
    waitIdle();
    EXPECT_EQ(sentNames(), (std::vector<std::string>{"B", row.sentAfterB}));
    // Only the packets that were tried get a completion.
    EXPECT_EQ(completedNames(), (std::vector<std::string>{"B", row.sentAfterB}));
    transport->holdSends(false);
  }
}

TEST_F(SenderTest, NextSendWaitsForTheCompletion) {
  Timer gate(io.get_executor());
  gate.expires_at(VantrelClock::time_point::max());
  bool firstReturned = false;
  onStrand([&] {
    sender->enqueue(toBytes("A"), {1, 1, 1, false}, [&](LowLatencyScreenSendResult) -> Awaitable<void> {
      std::error_code ec;
      co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      firstReturned = true;
    });
  });
  ASSERT_TRUE(testing::runUntil(io, [&] { return transport->sent().size() == 1; }));
  enqueue("B", false);
  testing::drain(io);
  // A's completion is suspended: B waits in the slot, not on the wire.
  EXPECT_FALSE(firstReturned);
  EXPECT_EQ(sentNames(), std::vector<std::string>{"A"});
  EXPECT_TRUE(sender->hasPending());
  gate.cancel();
  waitIdle();
  EXPECT_TRUE(firstReturned);
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
      {std::make_exception_ptr(NetworkTransportError::receiveFailed("x")), false, "TCP receive failed: x"},
      {std::make_exception_ptr(NetworkTransportError::connectionFailed("y")), false,
       "TCP connection failed: y"},
      {std::make_exception_ptr(NetworkTransportError::alreadyConnected()), false,
       "Already connected; disconnect before connecting again."},
      {std::make_exception_ptr(CancellationError()), false,
       "The operation couldn\u2019t be completed. (Swift.CancellationError error 1.)"},
      {std::make_exception_ptr(std::runtime_error("other")), false, "other"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.detail);
    completions.clear();
    transport->failSends(row.error);
    enqueue("P", true, 42);
    waitIdle();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].second, LowLatencyScreenSendResult::failed(42, row.detail, row.disconnected));
  }
  EXPECT_TRUE(transport->sent().empty());
}

TEST_F(SenderTest, PacketWaitingDuringAFailedSendIsNeverSent) {
  transport->holdSends(true);
  enqueue("B", false);
  waitHeld();
  enqueue("A", true);
  // Closing the connection fails the held send.
  testing::runAwaitable(io, transport->disconnect());
  waitIdle();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].first, "B");
  EXPECT_EQ(completions[0].second.kind, LowLatencyScreenSendResult::Case::failed);
  EXPECT_FALSE(completions[0].second.transportDisconnected);  // sendFailed
  EXPECT_FALSE(sender->hasPending());
  EXPECT_TRUE(transport->sent().empty());

  // The next enqueue starts a new drain and is sent normally.
  transport->holdSends(false);
  testing::runAwaitable(io, transport->connect("127.0.0.1", 9000));
  enqueue("N", false);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"N"});
  EXPECT_EQ(completedNames(), (std::vector<std::string>{"B", "N"}));
}

TEST_F(SenderTest, PacketQueuedByTheFailureCompletionIsDropped) {
  transport->failSends(std::make_exception_ptr(NetworkTransportError::disconnected()));
  int waitingCompletions = 0;
  onStrand([&] {
    sender->enqueue(
        toBytes("B"), {3, 1, 1, false}, [&](LowLatencyScreenSendResult result) -> Awaitable<void> {
          completions.emplace_back("B", result);
          // Queued while the failure is being handled: forgotten with the failure.
          sender->enqueue(toBytes("W"), {3, 1, 1, true}, [&](LowLatencyScreenSendResult) -> Awaitable<void> {
            ++waitingCompletions;
            co_return;
          });
          co_return;
        });
  });
  waitIdle();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_TRUE(completions[0].second.transportDisconnected);
  EXPECT_EQ(waitingCompletions, 0);
  EXPECT_FALSE(sender->hasPending());
  transport->failSends(nullptr);
  enqueue("N", false);
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"N"});
  EXPECT_EQ(waitingCompletions, 0);
}

TEST_F(SenderTest, DiscardPending) {
  onStrand([&] { sender->discardPending(); });  // nothing waits: no effect
  EXPECT_FALSE(sender->isDraining());
  EXPECT_FALSE(sender->hasPending());

  transport->holdSends(true);
  enqueue("B", false);
  waitHeld();
  enqueue("K", true);
  onStrand([&] { sender->discardPending(); });
  EXPECT_FALSE(sender->hasPending());
  EXPECT_TRUE(sender->isDraining());
  releaseOne();
  waitIdle();
  EXPECT_EQ(sentNames(), std::vector<std::string>{"B"});
  EXPECT_EQ(completedNames(), std::vector<std::string>{"B"});
}

TEST_F(SenderTest, ThrowingCompletionDoesNotStallTheSender) {
  onStrand([&] {
    sender->enqueue(toBytes("A"), {1, 1, 1, false}, [](LowLatencyScreenSendResult) -> Awaitable<void> {
      throw std::runtime_error("handler bug");
      co_return;
    });
  });
  waitIdle();
  enqueue("B", false);
  waitIdle();
  EXPECT_EQ(sentNames(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(SenderTest, DrainKeepsTheSenderAliveUntilItEnds) {
  transport->holdSends(true);
  enqueue("A", false);
  waitHeld();
  std::weak_ptr<LowLatencyScreenPacketSender> weak = sender;
  sender.reset();
  EXPECT_FALSE(weak.expired());
  transport->releaseOneSend();
  ASSERT_TRUE(testing::runUntil(io, [&] { return weak.expired(); }));
  EXPECT_EQ(completedNames(), std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace vantrel

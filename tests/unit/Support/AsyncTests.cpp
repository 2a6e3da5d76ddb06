#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Support/Async.hpp"
#include "Support/SystemLog.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::drain;
using testing::runAwaitable;
using testing::runUntil;

class AsyncTest : public ::testing::Test {
 protected:
  asio::io_context io;
  ManualClock clock;
};

Awaitable<int> valueAfter(VantrelClock::duration d, int value) {
  co_await sleepFor(d);
  co_return value;
}

Awaitable<void> record(std::vector<std::string>* order, std::string what) {
  order->push_back(std::move(what));
  co_return;
}

Awaitable<int> failNow() {
  throw std::runtime_error("refused");
  co_return 0;
}

TEST_F(AsyncTest, TimeoutFiresAndCancelsTheOperation) {
  bool operationSawCancellation = false;
  auto operation = [&]() -> Awaitable<int> {
    try {
      co_await sleepFor(10s);
    } catch (const CancellationError&) {
      operationSawCancellation = true;
      throw;
    }
    co_return 1;
  };
  testing::TaskProbe probe;
  probe.start(io.get_executor(), withTimeout(operation(), 1s));
  drain(io);
  EXPECT_FALSE(probe.finished());
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return probe.finished(); }));
  ASSERT_TRUE(probe.error());
  EXPECT_THROW(std::rethrow_exception(probe.error()), TimeoutError);
  EXPECT_TRUE(operationSawCancellation);
}

TEST_F(AsyncTest, OperationFailingBeforeTheLimitFailsAtOnce) {
  // The clock never moves: the failure must not wait for the timer.
  EXPECT_THROW(runAwaitable(io, withTimeout(failNow(), 1h)), std::runtime_error);
}

TEST_F(AsyncTest, OperationFinishingFirstWins) {
  testing::TaskProbe probe;
  int result = 0;
  auto body = [&]() -> Awaitable<void> { result = co_await withTimeout(valueAfter(2s, 42), 5s); };
  probe.start(io.get_executor(), body());
  drain(io);  // both timers are armed before time moves
  clock.advance(2s);
  ASSERT_TRUE(runUntil(io, [&] { return probe.finished(); }));
  EXPECT_FALSE(probe.error());
  EXPECT_EQ(result, 42);
}

// Whichever of the two ends first when the caller cancels, the caller learns of its own
// cancellation, never of a time-out that did not happen.
TEST_F(AsyncTest, ACallerThatCancelsTheRaceSeesCancellationNotATimeout) {
  EXPECT_NO_THROW(runAwaitable(io, withTimeout(sleepFor(0ms), 1s)));
  asio::cancellation_signal signal;
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(io, withTimeout(sleepFor(10s), 1s),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                   error = e;
                   finished = true;
                 }));
  drain(io);
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(runUntil(io, [&] { return finished; }));
  EXPECT_THROW(std::rethrow_exception(error), CancellationError);
}

TEST_F(AsyncTest, CancellingATaskSlotReachesTheAwaitedTimer) {
  TaskSlot slot(io.get_executor(), "sleeper");
  bool sawCancellation = false;
  bool continuedAfterSleep = false;
  auto token = slot.start([&](TaskTokenPtr) -> Awaitable<void> {
    try {
      co_await sleepFor(1h);
      continuedAfterSleep = true;
    } catch (const CancellationError&) {
      sawCancellation = true;
    }
  });
  drain(io);
  EXPECT_TRUE(slot.isRunning());
  slot.cancel();
  EXPECT_TRUE(token->isCancelled());
  ASSERT_TRUE(runUntil(io, [&] { return token->isFinished(); }));
  EXPECT_TRUE(sawCancellation);
  EXPECT_FALSE(continuedAfterSleep);
  EXPECT_FALSE(slot.isRunning());
}

TEST_F(AsyncTest, StartingANewTaskCancelsOnlyTheOldOne) {
  TaskSlot slot(io.get_executor(), "work");
  int finishedNormally = 0;
  auto factory = [&](TaskTokenPtr token) -> Awaitable<void> {
    try {
      co_await sleepFor(1s);
    } catch (const CancellationError&) {
      co_return;
    }
    if (!token->isCancelled()) ++finishedNormally;
  };
  auto first = slot.start(factory);
  drain(io);
  auto second = slot.start(factory);
  EXPECT_TRUE(first->isCancelled());
  EXPECT_FALSE(second->isCancelled());
  drain(io);
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return first->isFinished() && second->isFinished(); }));
  EXPECT_EQ(finishedNormally, 1);
}

TEST_F(AsyncTest, CheckCancellationThrowsOnlyOnceCancelled) {
  TaskSlot slot(io.get_executor());
  int checksPassed = 0;
  bool threw = false;
  auto token = slot.start([&](TaskTokenPtr) -> Awaitable<void> {
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await checkCancellation();
    ++checksPassed;
    std::error_code ec;
    Timer t(co_await asio::this_coro::executor, 1h);
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    try {
      co_await checkCancellation();
      ++checksPassed;
    } catch (const CancellationError&) {
      threw = true;
    }
  });
  drain(io);
  slot.cancel();
  ASSERT_TRUE(runUntil(io, [&] { return token->isFinished(); }));
  EXPECT_EQ(checksPassed, 1);
  EXPECT_TRUE(threw);
}

// A task started after its caller, from code that runs on the task's own executor, begins once
// that code has returned, so the lines after the start (which may change what the task reads)
// come first.
TEST_F(AsyncTest, ATaskStartedAfterItsCallerBeginsOnceTheCallerHasReturned) {
  std::vector<std::string> order;
  TaskSlot slot(io.get_executor(), "slot task", TaskStart::afterCaller);
  TaskTokenPtr cancelledFirst;
  bool sawCancellation = false;
  testing::callOn(io, [&] {
    spawnTask(io.get_executor(), record(&order, "spawned task"), "spawned", TaskStart::afterCaller);
    slot.start([&order](TaskTokenPtr) { return record(&order, "slot task"); });
    order.push_back("starter's next line");
  });
  drain(io);
  EXPECT_EQ(order, (std::vector<std::string>{"starter's next line", "spawned task", "slot task"}));

  // Cancelled before it began: it still begins, and what it awaits is cancelled, so it ends
  // without the hour passing.
  testing::callOn(io, [&] {
    cancelledFirst = slot.start([&](TaskTokenPtr) -> Awaitable<void> {
      try {
        co_await sleepFor(1h);
      } catch (const CancellationError&) {
        sawCancellation = true;
      }
    });
    slot.cancel();
  });
  ASSERT_TRUE(runUntil(io, [&] { return cancelledFirst->isFinished(); }));
  EXPECT_TRUE(sawCancellation);
  EXPECT_FALSE(slot.isRunning());
}

TEST_F(AsyncTest, SpawnedTaskFailuresAreLoggedButCancellationIsNot) {
  MemoryLogSink sink;
  spawnTask(io.get_executor(), failNow(), "doomed");
  spawnTask(
      io.get_executor(),
      []() -> Awaitable<void> {
        throw CancellationError();
        co_return;
      }(),
      "quiet");
  drain(io);
  EXPECT_TRUE(sink.contains("task 'doomed' ended with an error: refused"));
  EXPECT_FALSE(sink.contains("quiet"));
}

TEST(AsyncRuntime, RunOnExecutesOnTheStrandAndReturnsTheResult) {
  asio::io_context main;
  Runtime runtime(main.get_executor(), 3);
  auto strand = makeStrand(runtime.executor());
  auto body = [strand]() -> Awaitable<bool> { co_return strand.running_in_this_thread(); };
  auto outer = [strand, body]() -> Awaitable<bool> { co_return co_await runOn(strand, body()); };
  EXPECT_TRUE(testing::blockOn(runtime.executor(), outer()));
}

// An operation that ends only when cancelled, and notes the thread its cancellation handler ran on.
struct CancelOnlyWait {
  std::promise<void>* armed;
  std::thread::id* cancelledOn;
  template <typename Handler>
  void operator()(Handler handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    auto held = std::make_shared<Handler>(std::move(handler));
    slot.assign([held, cancelledOn = cancelledOn](asio::cancellation_type) {
      *cancelledOn = std::this_thread::get_id();
      auto executor = asio::get_associated_executor(*held);
      asio::post(executor, [held] { (*held)(); });
    });
    armed->set_value();
  }
};

Awaitable<void> waitUntilCancelled(std::promise<void>* armed, std::thread::id* cancelledOn) {
  co_await asio::this_coro::throw_if_cancelled(false);
  CancelOnlyWait wait{armed, cancelledOn};
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(wait, asio::use_awaitable);
}

Awaitable<void> callOn(Executor executor, std::promise<void>* armed, std::thread::id* cancelledOn) {
  co_await runOn(std::move(executor), waitUntilCancelled(armed, cancelledOn));
}

// A caller on one thread cancels a call running on another executor: the callee's cancellation
// handlers run on the callee's own thread, where its operations were armed, never on the caller's.
TEST(AsyncRuntime, RunOnDeliversTheCallersCancellationOnTheBodysExecutor) {
  asio::io_context callerContext;
  asio::io_context bodyContext;
  auto callerWork = asio::make_work_guard(callerContext);
  auto bodyWork = asio::make_work_guard(bodyContext);
  std::thread callerThread([&] { callerContext.run(); });
  std::thread bodyThread([&] { bodyContext.run(); });

  std::promise<void> armed;
  std::thread::id cancelledOn;
  asio::cancellation_signal cancel;
  std::promise<std::exception_ptr> finished;
  asio::co_spawn(
      callerContext, callOn(bodyContext.get_executor(), &armed, &cancelledOn),
      asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) { finished.set_value(e); }));
  ASSERT_EQ(armed.get_future().wait_for(testing::hangGuard), std::future_status::ready);
  asio::post(callerContext, [&] { cancel.emit(asio::cancellation_type::all); });
  auto outcome = finished.get_future();
  ASSERT_EQ(outcome.wait_for(testing::hangGuard), std::future_status::ready);
  EXPECT_FALSE(outcome.get());
  EXPECT_EQ(cancelledOn, bodyThread.get_id());

  callerWork.reset();
  bodyWork.reset();
  callerThread.join();
  bodyThread.join();
}

TEST(OnceResume, FirstDeliveryWinsAcrossThreads) {
  OnceResume<int> once;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (once.resume(i)) ++winners;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_TRUE(once.hasValue());
  EXPECT_TRUE(once.take().has_value());
}

}  // namespace
}  // namespace vantrel

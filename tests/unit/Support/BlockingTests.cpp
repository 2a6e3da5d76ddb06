#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Support/Blocking.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(BlockingPool, RunsOffTheCallerAndResumesOnTheCallersStrandWithValueOrError) {
  asio::io_context io;
  BlockingPool pool(2);
  auto strand = makeStrand(io.get_executor());
  const auto caller = std::this_thread::get_id();
  auto body = [&pool, strand, caller]() -> Awaitable<bool> {
    const auto worker = co_await runBlocking(pool, [] { return std::this_thread::get_id(); });
    const bool resumedOnStrand = strand.running_in_this_thread();
    co_await runBlocking(pool, [] {});
    bool rethrown = false;
    try {
      co_await runBlocking(pool, []() -> int { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error& e) {
      rethrown = std::string(e.what()) == "refused";
    }
    co_return worker != caller&& resumedOnStrand&& rethrown;
  };
  EXPECT_TRUE(testing::runAwaitable(io, strand, body()));
}

TEST(BlockingPool, CancellationAbandonsTheResultAndTheFunctionStillEnds) {
  asio::io_context io;
  BlockingPool pool(1);
  std::promise<void> release;
  auto released = release.get_future().share();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> started{false};
  asio::cancellation_signal signal;
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(io,
                 runBlocking(pool,
                             [released, ended, &started] {
                               started = true;
                               released.wait();
                               *ended = true;
                               return 7;
                             }),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, int) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(testing::runUntil(io, [&] { return started.load(); }));
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(testing::runUntil(io, [&] { return finished; }));
  EXPECT_TRUE(isCancellation(error));
  EXPECT_FALSE(ended->load());  // the caller did not wait for it
  release.set_value();
  pool.stop();  // joins: the abandoned function ran to its end and posted nothing that runs
  EXPECT_TRUE(ended->load());
  testing::drain(io);
}

TEST(BlockingPool, StoppedPoolRunsNothingAndTheAwaiterSeesCancellation) {
  asio::io_context io;
  BlockingPool pool(1);
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> started{false};
  EXPECT_TRUE(pool.post([released, &started] {
    started = true;
    released.wait();
  }));
  bool queuedRan = false;
  EXPECT_TRUE(pool.post([&queuedRan] { queuedRan = true; }));
  while (!started.load()) std::this_thread::yield();
  std::thread stopper([&pool] { pool.stop(); });
  while (!pool.stopRequested()) std::this_thread::yield();
  release.set_value();
  stopper.join();
  EXPECT_FALSE(queuedRan);  // queued work that had not begun is dropped
  EXPECT_FALSE(pool.post([] {}));
  bool ran = false;
  EXPECT_THROW(testing::runAwaitable(io, runBlocking(pool, [&ran] { ran = true; })), CancellationError);
  EXPECT_FALSE(ran);
}

// The fault this guards against: a worker posting its completion into a context that is being
// destroyed. The context's shutdown must stop and join its pool first.
TEST(BlockingPool, DestroyingTheContextJoinsItsPoolBeforeTheHandlersGo) {
  auto io = std::make_unique<asio::io_context>();
  auto& pool = blockingPoolOf(io->get_executor());
  std::atomic<bool> started{false};
  std::atomic<bool> completed{false};
  asio::co_spawn(*io,
                 runBlocking(pool,
                             [&pool, &started] {
                               started = true;
                               while (!pool.stopRequested()) std::this_thread::yield();
                             }),
                 [&completed](std::exception_ptr) { completed = true; });
  ASSERT_TRUE(testing::runUntil(*io, [&] { return started.load(); }));
  io.reset();  // returns only once the worker has ended; its completion is destroyed unrun
  EXPECT_FALSE(completed.load());
}

TEST(Runtime, StopRunsTheQueuedWorkThenJoinsAndBothExecutorsShareOnePool) {
  asio::io_context main;
  Runtime runtime(main.get_executor(), 1, 1);
  EXPECT_EQ(&blockingPoolOf(runtime.executor()), &runtime.blocking());
  EXPECT_EQ(&blockingPoolOf(runtime.mainExecutor()), &runtime.blocking());
  EXPECT_EQ(&blockingPoolOf(makeStrand(runtime.executor())), &runtime.blocking());

  std::promise<void> release;
  auto released = release.get_future().share();
  asio::post(runtime.context(), [released] { released.wait(); });  // holds the only thread
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i) asio::post(runtime.context(), [&ran] { ++ran; });
  std::thread stopper([&runtime] { runtime.stop(); });
  release.set_value();
  stopper.join();
  EXPECT_EQ(ran.load(), 100);
  EXPECT_TRUE(runtime.blocking().stopRequested());
  runtime.stop();  // idempotent
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>

#include <atomic>
#include <future>
#include <thread>

#include "Account/AccountCredentialWorker.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(AccountCredentialWorker, RunsOffTheCallingThreadAndReturnsTheValueOrTheError) {
  asio::io_context io;
  const auto caller = std::this_thread::get_id();
  std::thread::id worker;
  const auto value = testing::runAwaitable(io, AccountCredentialWorker::run([&] {
                                             worker = std::this_thread::get_id();
                                             return std::string("done");
                                           }));
  EXPECT_EQ(value, "done");
  EXPECT_NE(worker, caller);
  EXPECT_THROW(
      testing::runAwaitable(io, AccountCredentialWorker::run([]() -> int { throw std::runtime_error("x"); })),
      std::runtime_error);
}

TEST(AccountCredentialWorker, CancelledBeforeStartDoesNotRun) {
  asio::io_context io;
  asio::cancellation_signal signal;
  bool ran = false;
  std::exception_ptr error;
  bool finished = false;
  signal.emit(asio::cancellation_type::all);  // nothing connected yet: no effect
  asio::co_spawn(
      io,
      [&]() -> Awaitable<void> {
        // Cancel the coroutine itself, then ask the worker to run.
        signal.emit(asio::cancellation_type::all);
        co_await AccountCredentialWorker::run([&] { ran = true; });
      },
      asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
        error = e;
        finished = true;
      }));
  ASSERT_TRUE(testing::runUntil(io, [&] { return finished; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(isCancellation(error));
}

TEST(AccountCredentialWorker, CancellationDuringTheOperationLetsItFinishThenThrows) {
  asio::io_context io;
  asio::cancellation_signal signal;
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> started{false};
  std::atomic<bool> completed{false};
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(io, AccountCredentialWorker::run([&] {
                   started = true;
                   released.wait();
                   completed = true;
                   return 5;
                 }),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, int) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(testing::runUntil(io, [&] { return started.load(); }));
  signal.emit(asio::cancellation_type::all);
  testing::drain(io);
  EXPECT_FALSE(finished);  // the operation still runs
  release.set_value();
  ASSERT_TRUE(testing::runUntil(io, [&] { return finished; }));
  EXPECT_TRUE(completed.load());
  EXPECT_TRUE(isCancellation(error));
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include <future>
#include <thread>

#include "Support/Async.hpp"
#include "Support/ExecutorCheck.hpp"

namespace vantrel {
namespace {

// Runs `probe` as a handler of `executor` on `io`'s thread and returns its answer.
bool askInside(asio::io_context& io, const Executor& executor, const Executor& probe) {
  bool answer = false;
  asio::post(executor, [&] { answer = runsOnThisThread(probe); });
  io.run();
  io.restart();
  return answer;
}

TEST(ExecutorCheck, KnowsTheContextItsHandlersRunIn) {
  asio::io_context io;
  asio::io_context other;
  const Executor mine = io.get_executor();
  EXPECT_FALSE(runsOnThisThread(mine)) << "the test thread is not running the context";
  EXPECT_TRUE(askInside(io, mine, mine));
  EXPECT_FALSE(askInside(io, mine, Executor(other.get_executor())));
}

TEST(ExecutorCheck, AStrandIsOnlyItsOwnHandlers) {
  asio::io_context io;
  const Strand strand = makeStrand(io.get_executor());
  const Strand sibling = makeStrand(io.get_executor());
  EXPECT_TRUE(askInside(io, strand, strand));
  EXPECT_FALSE(askInside(io, strand, sibling)) << "same thread, another strand";
  EXPECT_FALSE(askInside(io, io.get_executor(), strand)) << "the context's thread outside the strand";
}

TEST(ExecutorCheck, AsksTheRegisteredProbeForOtherTypesAndTrustsUnknownOnes) {
  asio::thread_pool pool(1);
  const Executor unknown = pool.get_executor();
  EXPECT_TRUE(runsOnThisThread(unknown)) << "a type nobody can ask is not reported";
  registerExecutorThreadProbe(std::type_index(unknown.target_type()), [](const Executor& e) {
    return e.target<asio::thread_pool::executor_type>()->running_in_this_thread();
  });
  EXPECT_FALSE(runsOnThisThread(unknown));
  std::promise<bool> inside;
  asio::post(pool, [&] { inside.set_value(runsOnThisThread(unknown)); });
  EXPECT_TRUE(inside.get_future().get());
  registerExecutorThreadProbe(std::type_index(unknown.target_type()), [](const Executor&) { return true; });
}

#ifndef NDEBUG
TEST(ExecutorCheckDeathTest, AnEntryPointCalledFromAnotherThreadStopsTheDebugBuild) {
  asio::io_context io;
  const Executor main = io.get_executor();
  auto entryPoint = [&main] { VANTREL_EXPECT_ON(main); };
  EXPECT_DEATH(entryPoint(), "called off the executor it belongs to");
}
#endif

}  // namespace
}  // namespace vantrel

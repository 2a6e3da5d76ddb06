#include <gtest/gtest.h>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <thread>

// Before Qt's headers: Qt defines `emit` as a macro.
#include "Platform/QtMainExecutor.hpp"
#include "Support/Async.hpp"
#include "Support/Clock.hpp"
#include "Support/SystemLog.hpp"
#include "support/AsyncTest.hpp"

#include <QCoreApplication>
#include <QTimer>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

struct Steps {
  std::vector<std::pair<std::string, std::thread::id>> seen;
  void record(std::string name) { seen.emplace_back(std::move(name), std::this_thread::get_id()); }
};

Awaitable<std::thread::id> workerThreadId() { co_return std::this_thread::get_id(); }

// The same application-style coroutine for both main executors: a step, a timer armed from the
// main executor, a hop to another executor (an actor), and the step after it.
Awaitable<void> applicationSteps(Executor worker, Steps* steps, ManualClock* clock,
                                 std::thread::id* workerId) {
  steps->record("start");
  // Time moves only once the timer below is armed: this runs after the coroutine suspends.
  asio::post(co_await asio::this_coro::executor, [clock] { clock->advance(5s); });
  co_await sleepFor(5s);
  steps->record("after timer");
  *workerId = co_await runOn(worker, workerThreadId());
  steps->record("after actor");
}

class QtMainExecutorTest : public ::testing::Test {
 protected:
  int argc = 1;
  char name[8] = "tests";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};

  // Ends the loop if a test went wrong, instead of hanging.
  void guardAgainstHang() {
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(testing::hangGuard), &app, [] {
      ADD_FAILURE() << "the event loop did not end";
      QCoreApplication::exit(99);
    });
  }
};

TEST_F(QtMainExecutorTest, EveryStepOfACoroutineWithATimerRunsOnTheGuiThread) {
  ManualClock clock;
  Runtime runtime(2);
  QtMainLoop loop(runtime.context());
  Steps steps;
  std::thread::id workerId;
  bool finished = false;
  asio::co_spawn(loop.anyExecutor(), applicationSteps(runtime.executor(), &steps, &clock, &workerId),
                 [&](std::exception_ptr error) {
                   EXPECT_FALSE(error);
                   steps.record("completion");
                   finished = true;
                   QCoreApplication::exit(0);
                 });
  guardAgainstHang();
  EXPECT_EQ(QCoreApplication::exec(), 0);
  runtime.stop();
  ASSERT_TRUE(finished);
  const auto gui = std::this_thread::get_id();
  ASSERT_EQ(steps.seen.size(), 4U);
  for (const auto& [step, thread] : steps.seen) EXPECT_EQ(thread, gui) << step;
  EXPECT_NE(workerId, gui);  // the actor's body really ran elsewhere
}

TEST(QtMainExecutorSameCode, RunsOnAnIoContextWithTheManualClock) {
  ManualClock clock;
  asio::io_context main;
  Runtime runtime(1);
  Steps steps;
  std::thread::id workerId;
  testing::runAwaitable(main, applicationSteps(runtime.executor(), &steps, &clock, &workerId));
  ASSERT_EQ(steps.seen.size(), 3U);
  for (const auto& [step, thread] : steps.seen) EXPECT_EQ(thread, std::this_thread::get_id()) << step;
}

TEST_F(QtMainExecutorTest, WorkPostedFromOtherThreadsRunsOnTheGuiThreadInOrder) {
  Runtime runtime(2);
  QtMainLoop loop(runtime.context());
  auto executor = loop.anyExecutor();
  std::vector<int> order;
  std::atomic<int> offGui{0};
  const auto gui = std::this_thread::get_id();
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      asio::post(executor, [&, i] {
        if (std::this_thread::get_id() != gui) ++offGui;
        order.push_back(i);
      });
    }
    asio::post(executor, [] { QCoreApplication::exit(0); });
  });
  guardAgainstHang();
  QCoreApplication::exec();
  poster.join();
  std::vector<int> expected(100);
  for (int i = 0; i < 100; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(order, expected);
  EXPECT_EQ(offGui.load(), 0);
}

TEST_F(QtMainExecutorTest, DispatchOnTheGuiThreadRunsAtOncePostQueues) {
  Runtime runtime(1);
  QtMainLoop loop(runtime.context());
  auto executor = loop.anyExecutor();
  std::vector<std::string> order;
  asio::post(executor, [&] {
    asio::post(executor, [&] { order.push_back("posted"); });
    asio::dispatch(executor, [&] { order.push_back("dispatched"); });
    order.push_back("after both");
    asio::post(executor, [] { QCoreApplication::exit(0); });
  });
  guardAgainstHang();
  QCoreApplication::exec();
  EXPECT_EQ(order, (std::vector<std::string>{"dispatched", "after both", "posted"}));
}

TEST_F(QtMainExecutorTest, AQuitRequestedBeforeTheLoopRunsStillEndsIt) {
  Runtime runtime(1);
  QtMainLoop loop(runtime.context());
  loop.requestQuit(3);
  guardAgainstHang();
  EXPECT_EQ(QCoreApplication::exec(), 3);
}

TEST_F(QtMainExecutorTest, AnExceptionFromWorkIsLoggedAndTheLoopGoesOn) {
  Runtime runtime(1);
  QtMainLoop loop(runtime.context());
  MemoryLogSink sink;
  bool after = false;
  asio::post(loop.anyExecutor(), [] { throw std::runtime_error("boom"); });
  asio::post(loop.anyExecutor(), [&] {
    after = true;
    QCoreApplication::exit(0);
  });
  guardAgainstHang();
  QCoreApplication::exec();
  EXPECT_TRUE(after);
  EXPECT_TRUE(sink.contains("boom"));
}

TEST_F(QtMainExecutorTest, WorkLeftWhenTheLoopGoesIsDestroyedWithoutRunning) {
  Runtime runtime(1);
  auto flag = std::make_shared<int>(0);
  bool ran = false;
  std::optional<asio::any_io_executor> executor;
  {
    QtMainLoop loop(runtime.context());
    executor = loop.anyExecutor();
    asio::post(*executor, [&ran, flag] { ran = true; });
    EXPECT_EQ(flag.use_count(), 2);
  }
  EXPECT_EQ(flag.use_count(), 1);  // the queued work was destroyed with the loop
  asio::post(*executor, [&ran, flag] { ran = true; });
  EXPECT_EQ(flag.use_count(), 1);  // and work posted afterwards is dropped at once
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST_F(QtMainExecutorTest, TrackedWorkKeepsTheRuntimeContextRunning) {
  asio::io_context context;
  QtMainLoop loop(context);
  auto tracked = asio::prefer(loop.anyExecutor(), asio::execution::outstanding_work.tracked);
  // With tracked work outstanding the context does not count as out of work.
  context.poll();
  EXPECT_FALSE(context.stopped());
  tracked = asio::any_io_executor();
  context.poll();
  EXPECT_TRUE(context.stopped());
}

}  // namespace
}  // namespace vantrel

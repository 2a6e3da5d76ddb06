#include <gtest/gtest.h>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <thread>

// Before Qt's headers: Qt defines `emit` as a macro.
#include "Platform/Qt/QtMainExecutor.hpp"
#include "Support/Async.hpp"
#include "Support/Blocking.hpp"
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
// main executor, a hop to an actor of the runtime, blocking work on the runtime's pool, and the
// step after each.
Awaitable<void> applicationSteps(Runtime* runtime, Steps* steps, ManualClock* clock,
                                 std::vector<std::thread::id>* elsewhere) {
  steps->record("start");
  // Time moves only once the timer below is armed: this runs after the coroutine suspends.
  asio::post(co_await asio::this_coro::executor, [clock] { clock->advance(5s); });
  co_await sleepFor(5s);
  steps->record("after timer");
  elsewhere->push_back(co_await runOn(runtime->executor(), workerThreadId()));
  steps->record("after actor");
  elsewhere->push_back(co_await runBlocking(runtime->blocking(), [] { return std::this_thread::get_id(); }));
  steps->record("after blocking work");
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
  QtMainLoop loop;
  Runtime runtime(loop.anyExecutor(), 2, 1);
  Steps steps;
  std::vector<std::thread::id> elsewhere;
  bool finished = false;
  asio::co_spawn(runtime.mainExecutor(), applicationSteps(&runtime, &steps, &clock, &elsewhere),
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
  ASSERT_EQ(steps.seen.size(), 5U);
  for (const auto& [step, thread] : steps.seen) EXPECT_EQ(thread, gui) << step;
  // The actor and the blocking work really ran elsewhere.
  ASSERT_EQ(elsewhere.size(), 2U);
  for (const auto& thread : elsewhere) EXPECT_NE(thread, gui);
}

TEST_F(QtMainExecutorTest, WorkPostedFromOtherThreadsRunsOnTheGuiThreadInOrder) {
  QtMainLoop loop;
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

TEST_F(QtMainExecutorTest, AQuitRequestedBeforeTheLoopRunsStillEndsIt) {
  QtMainLoop loop;
  loop.requestQuit(3);
  guardAgainstHang();
  EXPECT_EQ(QCoreApplication::exec(), 3);
}

TEST_F(QtMainExecutorTest, AnExceptionFromWorkIsLoggedAndTheLoopGoesOn) {
  QtMainLoop loop;
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
  auto flag = std::make_shared<int>(0);
  bool ran = false;
  std::optional<asio::any_io_executor> executor;
  {
    QtMainLoop loop;
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

// The quit path: the loop has returned, then the owner cancels a task of the main executor that is
// inside a call to an actor of the runtime and holds a session-like object. The drain must run the
// task to its end, releasing the object while the runtime still runs.
Awaitable<void> holdDuringActorCall(std::shared_ptr<int> held, Runtime* runtime, bool* sawCancellation) {
  co_await asio::this_coro::throw_if_cancelled(false);
  try {
    co_await runOn(makeStrand(runtime->executor()), sleepFor(1h));
  } catch (const std::exception&) {
    *sawCancellation = true;
  }
  (void)held;
}

TEST_F(QtMainExecutorTest, DrainAfterTheLoopRunsTheCancelledTasksToTheirEndsWhileTheRuntimeRuns) {
  ManualClock clock;
  QtMainLoop loop;
  Runtime runtime(loop.anyExecutor(), 2, 1);
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  bool sawCancellation = false;
  bool ended = false;
  asio::cancellation_signal quit;
  asio::co_spawn(loop.anyExecutor(), holdDuringActorCall(std::move(held), &runtime, &sawCancellation),
                 asio::bind_cancellation_slot(quit.slot(), [&](std::exception_ptr) { ended = true; }));
  loop.requestQuit(0);
  guardAgainstHang();
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_GT(loop.trackedWork(), 0U);
  EXPECT_FALSE(watch.expired());

  cancelAll(quit);
  EXPECT_TRUE(loop.drain(std::chrono::duration_cast<std::chrono::milliseconds>(testing::hangGuard)));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(sawCancellation);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(loop.trackedWork(), 0U);
  runtime.stop();
}

TEST_F(QtMainExecutorTest, DrainGivesUpOnATaskThatNobodyEndsAndSaysSo) {
  ManualClock clock;
  QtMainLoop loop;
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  spawnTask(
      loop.anyExecutor(),
      [](std::shared_ptr<int> keep) -> Awaitable<void> {
        co_await sleepFor(1h);
        (void)keep;
      }(std::move(held)),
      "never ends");
  loop.requestQuit(0);
  guardAgainstHang();
  QCoreApplication::exec();
  EXPECT_FALSE(loop.drain(50ms));
  EXPECT_GT(loop.trackedWork(), 0U);
  EXPECT_FALSE(watch.expired());
}

TEST_F(QtMainExecutorTest, DrainWithNothingLeftReturnsAtOnce) {
  QtMainLoop loop;
  bool ran = false;
  asio::post(loop.anyExecutor(), [&ran] { ran = true; });
  loop.requestQuit(0);
  guardAgainstHang();
  QCoreApplication::exec();
  EXPECT_TRUE(ran);
  EXPECT_EQ(loop.trackedWork(), 0U);
  EXPECT_TRUE(loop.drain(std::chrono::duration_cast<std::chrono::milliseconds>(testing::hangGuard)));
}

}  // namespace
}  // namespace vantrel

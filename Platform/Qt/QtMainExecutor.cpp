#include "Platform/Qt/QtMainExecutor.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <exception>
#include <mutex>

#include "Support/Error.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace detail {
namespace {

const QEvent::Type workEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Made and posted under the poster's hold of `handOver`; taken under it on the GUI thread. Qt's
// own queue is synchronised too, but inside Qt, where the thread checker cannot see it: the
// shared mutex makes the hand-over of the work visible as such.
class WorkEvent final : public QEvent {
 public:
  WorkEvent(std::unique_ptr<QtMainWork> work, std::mutex& handOver)
      : QEvent(workEventType), work_(std::move(work)), handOver_(handOver) {}
  std::unique_ptr<QtMainWork> take() {
    std::lock_guard lock(handOver_);
    return std::move(work_);
  }

 private:
  std::unique_ptr<QtMainWork> work_;
  std::mutex& handOver_;
};

// Lives on the GUI thread and runs the work posted to it, in the order it was posted.
class WorkReceiver final : public QObject {
 public:
  explicit WorkReceiver(std::mutex& handOver) : handOver_(handOver) {}

  bool event(QEvent* event) override {
    if (!isWork(event)) return QObject::event(event);
    auto work = static_cast<WorkEvent*>(event)->take();
    if (!work) return true;
    try {
      work->run();
    } catch (...) {
      // An exception must not cross Qt's event dispatch; the loop keeps running.
      try {
        SystemLog("local.vantrel.VantrelMac", "runtime")
            .fault("work on the main thread ended with an error: {}",
                   localizedDescription(std::current_exception()));
      } catch (...) {
      }
    }
    return true;
  }

 private:
  // A work event is made on the posting thread under `handOver_`; its type is read under it too,
  // so that the thread checker sees the hand-over (Qt's own queue lock is invisible to it).
  bool isWork(const QEvent* event) const {
    std::lock_guard lock(handOver_);
    return event->type() == workEventType;
  }

  std::mutex& handOver_;
};

}  // namespace

struct QtMainState {
  std::mutex mutex;
  QObject* receiver = nullptr;  // guarded by mutex; null once the loop is gone
  QThread* thread = nullptr;    // set once at construction
  std::atomic<std::size_t> trackedWork{0};
  // Set while `drain()` waits: the last tracked work to end wakes the GUI thread.
  std::atomic<bool> draining{false};
};

void trackedWorkStarted(QtMainState& state) noexcept {
  state.trackedWork.fetch_add(1, std::memory_order_relaxed);
}

void trackedWorkFinished(QtMainState& state) noexcept {
  if (state.trackedWork.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (!state.draining.load(std::memory_order_acquire)) return;
  if (auto* dispatcher = QAbstractEventDispatcher::instance(state.thread)) dispatcher->wakeUp();
}

void postToQtMain(const std::shared_ptr<QtMainState>& state, std::unique_ptr<QtMainWork> work) {
  {
    std::lock_guard lock(state->mutex);
    if (state->receiver != nullptr) {
      QCoreApplication::postEvent(state->receiver, new WorkEvent(std::move(work), state->mutex));
      return;
    }
  }
  // The loop is gone: the work is destroyed here, outside the lock, without running.
  work.reset();
}

bool isQtMainThread(const QtMainState& state) noexcept { return QThread::currentThread() == state.thread; }

}  // namespace detail

namespace {
// One share of the main executor's outstanding work, counted while it lives.
struct CountedWork {
  CountedWork(asio::io_context& context, std::shared_ptr<detail::QtMainState> counter)
      : work(context.get_executor()), state(std::move(counter)) {
    detail::trackedWorkStarted(*state);
  }
  ~CountedWork() { detail::trackedWorkFinished(*state); }
  CountedWork(const CountedWork&) = delete;
  CountedWork& operator=(const CountedWork&) = delete;
  QtMainExecutor::ContextWork work;
  std::shared_ptr<detail::QtMainState> state;
};
}  // namespace

std::shared_ptr<QtMainExecutor::ContextWork> QtMainExecutor::makeWork() const noexcept {
  auto counted = std::make_shared<CountedWork>(*context_, state_);
  return std::shared_ptr<ContextWork>(counted, &counted->work);
}

QtMainLoop::QtMainLoop()
    : state_(std::make_shared<detail::QtMainState>()), context_(std::make_unique<asio::io_context>(1)) {
  auto* receiver = new detail::WorkReceiver(state_->mutex);
  state_->thread = receiver->thread();
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver = receiver;
  }
  contextWork_ = std::make_unique<QtMainExecutor::ContextWork>(context_->get_executor());
  registerExecutorThreadProbe(typeid(QtMainExecutor), [](const Executor& executor) {
    const auto* main =
        executor.target_type() == typeid(QtMainExecutor) ? executor.target<QtMainExecutor>() : nullptr;
    return main == nullptr || main->running_in_this_thread();
  });
  contextThread_ = std::thread([context = context_.get()] { context->run(); });
}

QtMainLoop::~QtMainLoop() {
  QObject* receiver = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    receiver = state_->receiver;
    state_->receiver = nullptr;
  }
  // From here on nothing reaches the GUI thread. Stop the timers' thread, then drop the work
  // still queued for the GUI thread (deleting the receiver deletes its events) and, with the
  // context, the waits still pending in it.
  contextWork_.reset();
  context_->stop();
  if (contextThread_.joinable()) contextThread_.join();
  delete receiver;
  context_.reset();
}

namespace {

// Runs the GUI thread's events until `done` or the deadline; each wait ends at the latest after
// `longestWait` (armed again before every wait: a timer may fire a little early).
void processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                        std::chrono::milliseconds longestWait) {
  QTimer wakeTimer;
  wakeTimer.setSingleShot(true);
  wakeTimer.setTimerType(Qt::PreciseTimer);
  const QDeadlineTimer deadline(limit, Qt::PreciseTimer);
  while (!done() && !deadline.hasExpired()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline.remainingTimeAsDuration());
    wakeTimer.start(std::max(std::chrono::milliseconds(1), std::min(left, longestWait)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

}  // namespace

bool QtMainLoop::drain(std::chrono::milliseconds limit) {
  // The last tracked work to end wakes the wait; otherwise it lasts until the limit.
  state_->draining.store(true, std::memory_order_release);
  processEventsUntil([this] { return trackedWork() == 0; }, limit, limit);
  state_->draining.store(false, std::memory_order_release);
  return trackedWork() == 0;
}

bool QtMainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  processEventsUntil(done, limit, pollInterval);
  return done();
}

std::size_t QtMainLoop::trackedWork() const noexcept {
  return state_->trackedWork.load(std::memory_order_acquire);
}

void QtMainLoop::requestQuit(int exitCode) const {
  executor().execute([exitCode] { QCoreApplication::exit(exitCode); });
}

namespace {
int signalSockets[2] = {-1, -1};

void onTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto n = ::write(signalSockets[0], &byte, 1);
  errno = saved;
}
}  // namespace

void quitOnTerminationSignals(const QtMainLoop& loop) {
  if (signalSockets[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0) return;
  QObject* parent = nullptr;
  {
    std::lock_guard lock(loop.state_->mutex);
    parent = loop.state_->receiver;
  }
  // A child of the receiver: it goes away with the loop, so the lambda never outlives `loop`.
  auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [&loop] {
    char buffer[16];
    while (::read(signalSockets[1], buffer, sizeof buffer) > 0) {
    }
    loop.requestQuit(0);
  });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace vantrel

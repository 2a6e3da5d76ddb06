#include "Model/SessionAgentRuntime.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <asio/bind_cancellation_slot.hpp>

#include <cerrno>
#include <condition_variable>

#include "Account/SystemConnectionConfiguration.hpp"
#include "Model/DesktopSessionCollaborators.hpp"
#include "Session/DirectAuthClient.hpp"
#include "Session/FileSystemError.hpp"
#include "Support/Blocking.hpp"
#include "Support/SystemLog.hpp"
#include "Transport/DaemonRelayXPC.hpp"

namespace vantrel {

struct SessionAgentRuntime::Shared {
  explicit Shared(Options o, Executor executor)
      : options(std::move(o)), executor(executor), strand(makeStrand(executor)) {}

  Options options;
  Executor executor;
  Strand strand;
  const SystemLog log{"local.vantrel.VantrelMac", "session-agent"};
  std::atomic<bool> stopRequested{false};
  // Emitted on `strand` only: cancels whatever the loop awaits at that moment.
  asio::cancellation_signal stopSignal;
  std::mutex mutex;
  std::condition_variable finishedChanged;
  bool finished = false;
};

namespace {

using Shared = SessionAgentRuntime::Shared;

// The whole connection file, read without following it into a device, a pipe or a huge file.
std::string readConnectionFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw FileSystemError("open", path.string(), errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw FileSystemError("stat", path.string(), errno);
  if (S_ISDIR(status.st_mode)) throw FileSystemError("read", path.string(), EISDIR);
  if (!S_ISREG(status.st_mode)) throw FileSystemError("read", path.string(), EINVAL);
  if (static_cast<std::size_t>(status.st_size) > SessionAgentRuntime::maximumConfigurationFileSize) {
    throw FileSystemError("read", path.string(), EFBIG);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileSystemError("read", path.string(), errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    // The file may have grown since it was measured.
    if (text.size() > SessionAgentRuntime::maximumConfigurationFileSize) {
      throw FileSystemError("read", path.string(), EFBIG);
    }
  }
  return text;
}

// A sleep that ends at once, with `CancellationError`, when the agent is stopped.
Awaitable<void> agentSleep(std::shared_ptr<Shared> shared, VantrelClock::duration duration) {
  if (shared->stopRequested.load()) throw CancellationError();
  co_await sleepFor(duration);
  if (shared->stopRequested.load()) throw CancellationError();
}

void throwIfStopped(const Shared& shared) {
  if (shared.stopRequested.load()) throw CancellationError();
}

Awaitable<void> runAttempt(std::shared_ptr<Shared> shared) {
  std::shared_ptr<DirectAuthClient> client;
  std::exception_ptr failure;
  try {
    const auto path = shared->options.configurationPath();
    const auto configuration = SystemConnectionConfiguration::decode(readConnectionFile(path));
    client =
        SessionAgentRuntime::makeClient(shared->executor, shared->options.makeTransport(shared->executor));
    // Named, not a temporary inside the co_await: g++ 12 destroys such temporaries twice.
    DirectAuthClient::EventHandler handler = [log = shared->log](const DirectAuthEvent& event) {
      if (log.isEnabled(LogLevel::notice)) log.notice("{}", event.message());
    };
    co_await client->setEventHandler(shared->executor, std::move(handler));
    throwIfStopped(*shared);
    DirectAuthConfiguration settings;
    settings.host = configuration.host;
    settings.port = configuration.port;
    settings.userID = configuration.userID;
    settings.connectionNumber = configuration.connectionNumber;
    settings.timeout = SessionAgentRuntime::authenticationTimeout;
    co_await client->connectAndAuthenticate(settings);
    throwIfStopped(*shared);
    while (co_await client->currentState() == DirectAuthState::authenticated) {
      co_await agentSleep(shared, SessionAgentRuntime::supervisionInterval);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) shared->log.error("Session agent connection failed: {}", localizedDescription(failure));
  if (client) {
    // The session is closed before it is dropped, also when the agent is stopping: a stop must
    // not cut the disconnect short (it is bounded by the transport's own time-out). Afterwards
    // the pause is cancellable again; a stop signalled meanwhile is seen through its flag.
    co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
    co_await client->disconnect();
    co_await asio::this_coro::reset_cancellation_state();
  }
}

Awaitable<void> agentLoop(std::shared_ptr<Shared> shared) {
  // Cancellation is handled here, step by step: an attempt always ends with its disconnect.
  co_await asio::this_coro::throw_if_cancelled(false);
  while (!shared->stopRequested.load()) {
    co_await runAttempt(shared);
    try {
      co_await agentSleep(shared, SessionAgentRuntime::retryDelay);
    } catch (...) {
      // An interrupted pause is no failure; the loop condition decides.
    }
  }
}

std::shared_ptr<NetworkTransporting> makeRelayTransport(Executor executor) {
  return DaemonRelayTransport::create(std::move(executor));
}

SessionAgentRuntime::Options withDefaults(SessionAgentRuntime::Options options) {
  if (!options.configurationPath) options.configurationPath = SystemConnectionConfiguration::defaultURL;
  if (!options.makeTransport) options.makeTransport = makeRelayTransport;
  if (options.threads == 0) options.threads = 1;
  return options;
}

}  // namespace

std::shared_ptr<DirectAuthClient> SessionAgentRuntime::makeClient(
    Executor executor, std::shared_ptr<NetworkTransporting> transport) {
  // The agent's channel is off: no factory (no roots, no shell, no managers).
  auto collaborators = makeDesktopSessionCollaborators(executor, std::move(transport), {});
  return DirectAuthClient::create(std::move(collaborators));
}

SessionAgentRuntime::SessionAgentRuntime() : SessionAgentRuntime(Options{}) {}

SessionAgentRuntime::SessionAgentRuntime(Options options)
    : shared_(std::make_shared<Shared>(withDefaults(std::move(options)), context_.get_executor())) {}

SessionAgentRuntime::~SessionAgentRuntime() { stop(); }

void SessionAgentRuntime::start() {
  std::lock_guard lock(mutex_);
  if (started_ || stopped_) return;
  started_ = true;
  auto shared = shared_;
  asio::co_spawn(shared->strand, agentLoop(shared),
                 asio::bind_cancellation_slot(shared->stopSignal.slot(), [shared](std::exception_ptr error) {
                   if (error) reportTaskFailure("session agent", error);
                   std::lock_guard finishedLock(shared->mutex);
                   shared->finished = true;
                   shared->finishedChanged.notify_all();
                 }));
  for (std::size_t i = 0; i < shared_->options.threads; ++i) {
    threads_.emplace_back([this] { context_.run(); });
  }
}

void SessionAgentRuntime::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    if (!started_) return;
  }
  auto shared = shared_;
  shared->stopRequested.store(true);
  asio::dispatch(shared->strand, [shared] { shared->stopSignal.emit(asio::cancellation_type::all); });
  {
    std::unique_lock lock(shared->mutex);
    shared->finishedChanged.wait(lock, [&] { return shared->finished; });
  }
  // Whatever the dropped sessions left queued (late completions of closed sockets) is abandoned.
  context_.stop();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
}

}  // namespace vantrel

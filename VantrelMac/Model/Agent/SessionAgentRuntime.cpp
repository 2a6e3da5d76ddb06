#include "Model/Agent/SessionAgentRuntime.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <asio/post.hpp>

#include <cerrno>
#include <condition_variable>

#include "Account/SystemConnectionConfiguration.hpp"
#include "Model/Connection/DesktopSessionCollaborators.hpp"
#include "Model/Connection/ManagerConnection.hpp"
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
  // Made, used and stopped on `strand` only.
  std::shared_ptr<ManagerConnection> connection;
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

void logFailure(const Shared& shared, const std::string& description) {
  shared.log.error("Session agent connection failed: {}", description);
}

// The target of one attempt: the connection file read afresh, a new session over a new
// transport, its events sent to the log.
Awaitable<std::optional<ManagerConnection::Target>> prepareAttempt(std::shared_ptr<Shared> shared) {
  const auto path = shared->options.configurationPath();
  const auto configuration = SystemConnectionConfiguration::decode(readConnectionFile(path));
  auto client = std::make_shared<DirectAuthManagerSessionClient>(
      SessionAgentRuntime::makeClient(shared->executor, shared->options.makeTransport(shared->executor)));
  // Named, not a temporary inside the co_await: g++ 12 destroys such temporaries twice.
  ManagerSessionClient::EventHandler handler = [log = shared->log](const DirectAuthEvent& event) {
    if (log.isEnabled(LogLevel::notice)) log.notice("{}", event.message());
  };
  auto installing = client->setEventHandler(shared->executor, std::move(handler));
  co_await std::move(installing);
  DirectConnectionSettings endpoint{configuration.host, configuration.port, configuration.userID,
                                    configuration.connectionNumber};
  co_return ManagerConnection::Target{std::move(client), {std::move(endpoint)}};
}

void startConnection(const std::shared_ptr<Shared>& shared) {
  ConnectionPolicy policy;
  policy.timeout = SessionAgentRuntime::authenticationTimeout;
  policy.watchInterval = SessionAgentRuntime::supervisionInterval;
  policy.retry = ConnectionPolicy::Retry::fixed;
  policy.fixedDelay = SessionAgentRuntime::retryDelay;
  std::weak_ptr<Shared> weak = shared;
  shared->connection = ManagerConnection::create(
      shared->strand, policy, {},
      [weak](const ConnectionStatus& status) {
        auto shared = weak.lock();
        if (shared && status.phase == ConnectionStatus::Phase::failed)
          logFailure(*shared, status.error.value_or(""));
      },
      [weak]() -> Awaitable<std::optional<ManagerConnection::Target>> {
        auto shared = weak.lock();
        if (!shared) throw CancellationError();
        return prepareAttempt(std::move(shared));
      });
  shared->connection->start({}, "session agent");
}

// Ends the connection; an attempt or watch that the stop cut short counts as a failed attempt,
// and its session is closed before the agent lets go of it: a stop must not cut the disconnect
// short (it is bounded by the transport's own time-out).
Awaitable<void> finishConnection(std::shared_ptr<Shared> shared) {
  auto connection = shared->connection;
  if (!connection) co_return;
  connection->stop();
  co_await connection->finished();
  if (const auto interruption = connection->interruption()) {
    logFailure(*shared, localizedDescription(interruption));
    if (auto client = connection->client()) co_await client->disconnect();
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
  asio::post(shared->strand, [shared] { startConnection(shared); });
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
  asio::co_spawn(shared->strand, finishConnection(shared), [shared](std::exception_ptr error) {
    if (error) reportTaskFailure("session agent", error);
    std::lock_guard finishedLock(shared->mutex);
    shared->finished = true;
    shared->finishedChanged.notify_all();
  });
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

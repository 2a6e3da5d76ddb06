#include "Model/Agent/AIDiagnosticsRun.hpp"

#include <asio/use_future.hpp>

#include <fmt/format.h>

#include "Activity/UpdateActivityGate.hpp"
#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Model/Status/StatusEnvironment.hpp"
#include "Session/SessionErrors.hpp"
#include "Support/Outcome.hpp"
#include "Transport/DirectTCPTransport.hpp"

namespace vantrel::ai_diagnostics {

Awaitable<void> ReceiveStampingTransport::connect(std::string host, std::uint16_t port) {
  co_await inner_->connect(std::move(host), port);
}

Awaitable<void> ReceiveStampingTransport::disconnect() { co_await inner_->disconnect(); }

Awaitable<void> ReceiveStampingTransport::send(Bytes data) { co_await inner_->send(std::move(data)); }

Awaitable<Bytes> ReceiveStampingTransport::receive() {
  auto bytes = co_await inner_->receive();
  stamp_->store(VantrelClock::now().time_since_epoch().count());
  co_return bytes;
}

namespace {

// The run's own lines (see docs/coroutine-rules.md, rule 5: no literals in the coroutine bodies).
constexpr std::string_view closedLine = "AI_DIAGNOSTICS the manager closed the connection";
constexpr std::string_view finishedLine = "AI_DIAGNOSTICS finished";

// The end of a session that was authenticated: the manager closing its side is the clean end; any
// other failure is not.
std::optional<std::string> failureAfterAuthentication(const std::optional<DirectAuthError>& error) {
  if (!error) return std::nullopt;
  if (*error == directAuthError(NetworkTransportError::disconnected())) return std::nullopt;
  return error->localizedDescription();
}

VantrelClock::time_point lastReceivedOr(const ReceiveStamp& stamp, VantrelClock::time_point fallback) {
  if (!stamp) return fallback;
  const VantrelClock::time_point seen{VantrelClock::duration{stamp->load()}};
  return std::max(seen, fallback);
}

void say(const RunEnvironment& environment, std::string line) {
  if (environment.log) environment.log(std::move(line));
}

// Each event as its message (built here, not as a temporary inside the run's co_await: see
// docs/coroutine-rules.md, rule 4).
ManagerSessionClient::EventHandler eventLogger(std::function<void(std::string)> log) {
  return [log = std::move(log)](const DirectAuthEvent& event) {
    if (log) log(event.message());
  };
}

DirectAuthConfiguration configurationFor(const AIDiagnosticsEndpoint& endpoint,
                                         const RunEnvironment& environment) {
  return {endpoint.host(), endpoint.port, environment.userID, environment.connectionNumber, connectTimeout};
}

}  // namespace

Awaitable<int> run(AIDiagnosticsEndpoint endpoint, RunEnvironment environment) {
  co_await asio::this_coro::throw_if_cancelled(false);
  // The session is held only while it is used: a run abandoned in one of its pauses (the program
  // quit meanwhile) keeps nothing of it alive.
  std::shared_ptr<ManagerSessionClient> client = environment.client.lock();
  if (!client) co_return exitFailed;
  const Executor receiver = co_await asio::this_coro::executor;
  ManagerSessionClient::EventHandler handler = eventLogger(environment.log);
  co_await client->setEventHandler(receiver, std::move(handler));

  const std::string host = endpoint.host();
  say(environment, fmt::format("AI_DIAGNOSTICS connecting to {}:{} (userID={}, comNum={})", host,
                               endpoint.port, environment.userID, environment.connectionNumber));
  const DirectAuthConfiguration configuration = configurationFor(endpoint, environment);
  const auto connected = co_await attempt(client->connectAndAuthenticate(configuration));
  if (!connected) {
    say(environment, fmt::format("AI_DIAGNOSTICS could not authenticate at {}:{}: {}", host, endpoint.port,
                                 localizedDescription(connected.error())));
    co_await client->disconnect();
    co_return exitFailed;
  }

  say(environment,
      fmt::format("AI_DIAGNOSTICS authenticated at {}:{}; serving the manager", host, endpoint.port));
  const auto servingSince = VantrelClock::now();
  std::optional<std::string> sessionFailure;
  for (;;) {
    client.reset();
    co_await sleepFor(checkInterval);
    client = environment.client.lock();
    if (!client) co_return exitFailed;
    const DirectAuthState state = co_await client->currentState();
    if (state != DirectAuthState::authenticated) {
      const std::optional<DirectAuthError> lastError = co_await client->currentLastError();
      sessionFailure = failureAfterAuthentication(lastError);
      if (!sessionFailure) say(environment, std::string(closedLine));
      break;
    }
    if (VantrelClock::now() - lastReceivedOr(environment.lastReceived, servingSince) >= idleLimit) {
      say(environment, fmt::format("AI_DIAGNOSTICS no frame from the manager for {} s; ending the session",
                                   std::chrono::duration_cast<std::chrono::seconds>(idleLimit).count()));
      break;
    }
  }
  co_await client->disconnect();
  if (sessionFailure) {
    say(environment, fmt::format("AI_DIAGNOSTICS session failed after authentication: {}", *sessionFailure));
    co_return exitFailed;
  }
  say(environment, std::string(finishedLine));
  co_return exitAuthenticated;
}

namespace {

// The application's own session, with a transport that tells when the manager last sent anything.
std::shared_ptr<ManagerSessionClient> applicationSession(Executor ioExecutor, std::string bundleIdentifier,
                                                         ReceiveStamp stamp) {
  auto transport = std::make_shared<ReceiveStampingTransport>(
      DirectTCPTransport::create(ioExecutor, std::nullopt, DirectAuthClientFactory::connectTimeoutSeconds),
      std::move(stamp));
  return DirectAuthClientFactory::makeClient(ioExecutor, std::move(transport), std::move(bundleIdentifier),
                                             nullptr, UpdateActivityGate::shared());
}

void finishRun(const std::shared_ptr<DiagnosticLogWriter>& writer, const std::function<void(int)>& finish,
               int status) {
  writer->flush();
  if (finish) finish(status);
}

Awaitable<void> applicationRun(AIDiagnosticsEndpoint endpoint, RunEnvironment environment,
                               std::shared_ptr<DiagnosticLogWriter> writer, std::function<void(int)> finish) {
  auto outcome = co_await attempt(run(std::move(endpoint), environment));
  int status = exitFailed;
  if (outcome) {
    status = *outcome;
  } else {
    say(environment,
        fmt::format("AI_DIAGNOSTICS run ended unexpectedly: {}", localizedDescription(outcome.error())));
  }
  finishRun(writer, finish, status);
}

}  // namespace

ApplicationRun::ApplicationRun(Executor mainExecutor, Executor ioExecutor,
                               const std::string& bundleIdentifier, std::function<void(int)> finish)
    : mainExecutor_(std::move(mainExecutor)),
      ioExecutor_(std::move(ioExecutor)),
      finish_(std::move(finish)),
      writer_(std::make_shared<DiagnosticLogWriter>(DiagnosticLogWriter::defaultFile(bundleIdentifier))),
      stamp_(std::make_shared<std::atomic<VantrelClock::rep>>(0)),
      client_(applicationSession(ioExecutor_, bundleIdentifier, stamp_)) {
  const auto saved = DirectConnectionSettings::load(*JSONFileUserDefaults::standard(bundleIdentifier));
  userID_ = saved.userID;
  connectionNumber_ = saved.connectionNumber;
}

ApplicationRun::~ApplicationRun() {
  // The runtime still runs: the session is closed on it and released here, before the runtime
  // (which its strands belong to) goes. The disconnect is bounded by the transport's own limits.
  auto closing = asio::co_spawn(ioExecutor_, client_->disconnect(), asio::use_future);
  closing.wait_for(std::chrono::seconds(15));
  client_.reset();
  writer_->flush();
}

AIDiagnosticsTestSession::Environment ApplicationRun::environment() const {
  RunEnvironment run{client_, stamp_, userID_, connectionNumber_, [writer = writer_](std::string line) {
                       writer->append(std::chrono::system_clock::now(), std::move(line));
                     }};
  return {mainExecutor_, finish_,
          [run = std::move(run), writer = writer_](AIDiagnosticsEndpoint endpoint,
                                                   std::function<void(int)> terminate) {
            return applicationRun(std::move(endpoint), run, writer, std::move(terminate));
          }};
}

}  // namespace vantrel::ai_diagnostics

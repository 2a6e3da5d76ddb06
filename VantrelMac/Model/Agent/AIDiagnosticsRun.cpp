#include "Model/Agent/AIDiagnosticsRun.hpp"

#include <asio/post.hpp>
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
constexpr std::string_view stoppedLine = "AI_DIAGNOSTICS stopped: the program is quitting";

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

// What the handler's copies share: while any is alive, an event may still be on its way to the log.
struct EventDeliveries {};

// Each event as its message (built here, not as a temporary inside the run's co_await: see
// docs/coroutine-rules.md, rule 4). Every copy of the handler, the ones riding in queued deliveries
// included, holds `deliveries`.
ManagerSessionClient::EventHandler eventLogger(std::function<void(std::string)> log,
                                               std::shared_ptr<EventDeliveries> deliveries) {
  return [log = std::move(log), deliveries = std::move(deliveries)](const DirectAuthEvent& event) {
    if (log) log(event.message());
  };
}

DirectAuthConfiguration configurationFor(const AIDiagnosticsEndpoint& endpoint,
                                         const RunEnvironment& environment) {
  return {endpoint.host(), endpoint.port, environment.userID, environment.connectionNumber, connectTimeout};
}

// How the run ended: its exit status and its last line.
struct Ending {
  int status = exitFailed;
  std::string line;
};

// A quit of the program ends the run early; the program's own exit status then applies.
Ending stoppedEnding() { return {exitAuthenticated, std::string(stoppedLine)}; }

Awaitable<bool> wasCancelled() {
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

// Connects once and serves an authenticated session until it ends; says what happens on the way
// and returns the ending, whose line the caller writes once the session's own events are written.
Awaitable<Ending> connectAndServe(AIDiagnosticsEndpoint endpoint, RunEnvironment environment) {
  std::shared_ptr<ManagerSessionClient> client = environment.client.lock();
  if (!client) co_return Ending{};
  const std::string host = endpoint.host();
  say(environment, fmt::format("AI_DIAGNOSTICS connecting to {}:{} (userID={}, comNum={})", host,
                               endpoint.port, environment.userID, environment.connectionNumber));
  const DirectAuthConfiguration configuration = configurationFor(endpoint, environment);
  const auto connected = co_await attempt(client->connectAndAuthenticate(configuration));
  if (!connected) {
    if (co_await wasCancelled()) co_return stoppedEnding();
    co_return Ending{exitFailed, fmt::format("AI_DIAGNOSTICS could not authenticate at {}:{}: {}", host,
                                             endpoint.port, localizedDescription(connected.error()))};
  }

  say(environment,
      fmt::format("AI_DIAGNOSTICS authenticated at {}:{}; serving the manager", host, endpoint.port));
  const auto servingSince = VantrelClock::now();
  for (;;) {
    // The session is held only while it is used: a run abandoned in one of its pauses (the
    // program quit meanwhile) keeps nothing of it alive.
    client.reset();
    const auto slept = co_await attempt(sleepFor(checkInterval));
    if (!slept) co_return stoppedEnding();
    client = environment.client.lock();
    if (!client) co_return stoppedEnding();
    const DirectAuthState state = co_await client->currentState();
    if (state != DirectAuthState::authenticated) {
      const std::optional<DirectAuthError> lastError = co_await client->currentLastError();
      const auto sessionFailure = failureAfterAuthentication(lastError);
      if (sessionFailure) {
        co_return Ending{exitFailed, fmt::format("AI_DIAGNOSTICS session failed after authentication: {}",
                                                 *sessionFailure)};
      }
      say(environment, std::string(closedLine));
      co_return Ending{exitAuthenticated, std::string(finishedLine)};
    }
    if (VantrelClock::now() - lastReceivedOr(environment.lastReceived, servingSince) >= idleLimit) {
      say(environment, fmt::format("AI_DIAGNOSTICS no frame from the manager for {} s; ending the session",
                                   std::chrono::duration_cast<std::chrono::seconds>(idleLimit).count()));
      co_return Ending{exitAuthenticated, std::string(finishedLine)};
    }
  }
}

// Closes the session and stops its events: none is sent after this.
Awaitable<void> closeAndMute(std::shared_ptr<ManagerSessionClient> client, Executor receiver) {
  co_await client->disconnect();
  co_await client->setEventHandler(std::move(receiver), nullptr);
}

// Lets the main executor run until every event sent before the handler was taken away has been
// logged. Those deliveries are queued ahead of these turns, so a few suffice; the bound only keeps
// a handler copy that something else still holds from stalling the run.
Awaitable<void> waitForDeliveries(std::weak_ptr<EventDeliveries> deliveries) {
  constexpr int turns = 100;
  const Executor executor = co_await asio::this_coro::executor;
  for (int turn = 0; turn < turns && !deliveries.expired(); ++turn) {
    co_await asio::post(executor, asio::use_awaitable);
  }
}

}  // namespace

Awaitable<int> run(AIDiagnosticsEndpoint endpoint, RunEnvironment environment) {
  co_await asio::this_coro::throw_if_cancelled(false);
  std::shared_ptr<ManagerSessionClient> client = environment.client.lock();
  if (!client) co_return exitFailed;
  const Executor receiver = co_await asio::this_coro::executor;
  auto deliveries = std::make_shared<EventDeliveries>();
  const std::weak_ptr<EventDeliveries> pending = deliveries;
  ManagerSessionClient::EventHandler handler = eventLogger(environment.log, std::move(deliveries));
  co_await client->setEventHandler(receiver, std::move(handler));
  client.reset();

  const Ending ending = co_await connectAndServe(std::move(endpoint), environment);

  // The ending is written after the events that explain it: the session's closing and whatever
  // it sent before reach the log through the main executor, behind this run.
  client = environment.client.lock();
  if (client) co_await closeAndMute(std::move(client), receiver);
  co_await waitForDeliveries(pending);
  say(environment, ending.line);
  co_return ending.status;
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
  } else if (isCancellation(outcome.error())) {
    // The program is quitting; its own exit status applies.
    say(environment, std::string(stoppedLine));
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
  // Its events stop with it, so none is left to arrive after the run's last line.
  auto closing = asio::co_spawn(ioExecutor_, closeAndMute(client_, mainExecutor_), asio::use_future);
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

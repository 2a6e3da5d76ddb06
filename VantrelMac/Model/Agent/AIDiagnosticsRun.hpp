#pragma once

// The QA diagnostics run: one manager session to the test endpoint, built like the application's
// own, connected and authenticated once, then served until the manager closes the connection or
// stays silent for a minute. The program's exit status says how it went.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Model/Agent/AIDiagnosticsTestSession.hpp"
#include "Model/Connection/ManagerSessionClient.hpp"
#include "Support/Clock.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

class DiagnosticLogWriter;

namespace ai_diagnostics {

inline constexpr int exitAuthenticated = 0;  // authenticated, then ended cleanly
inline constexpr int exitFailed = 1;         // could not connect, was rejected, or the session failed
inline constexpr int exitInvalidEndpoint = AIDiagnosticsTestSession::invalidEndpointExitStatus;

// The connection cycle's per-endpoint time-out.
inline constexpr std::chrono::nanoseconds connectTimeout = std::chrono::seconds(5);
// How long an authenticated session may go without a single byte from the manager.
inline constexpr VantrelClock::duration idleLimit = std::chrono::seconds(60);
// How often the served session is looked at.
inline constexpr VantrelClock::duration checkInterval = std::chrono::seconds(1);

// When the manager last sent anything, shared between a transport and whoever watches it.
using ReceiveStamp = std::shared_ptr<std::atomic<VantrelClock::rep>>;

// A transport that notes the time of every successful read and otherwise is the one it wraps.
class ReceiveStampingTransport final : public NetworkTransporting {
 public:
  ReceiveStampingTransport(std::shared_ptr<NetworkTransporting> inner, ReceiveStamp stamp)
      : inner_(std::move(inner)), stamp_(std::move(stamp)) {}

  Awaitable<void> connect(std::string host, std::uint16_t port) override;
  Awaitable<void> disconnect() override;
  Awaitable<void> send(Bytes data) override;
  Awaitable<Bytes> receive() override;
  Executor executor() const override { return inner_->executor(); }

 private:
  std::shared_ptr<NetworkTransporting> inner_;
  ReceiveStamp stamp_;
};

struct RunEnvironment {
  // Owned by whoever runs the diagnostics; the run holds it only while it uses it.
  std::weak_ptr<ManagerSessionClient> client;
  // Last read from the manager (VantrelClock ticks); nothing read yet counts as the moment the
  // session authenticated.
  ReceiveStamp lastReceived;
  // The saved direct connection's user ID and connection number.
  std::string userID;
  std::uint16_t connectionNumber = 0;
  // One line to the diagnostics log and the process log.
  std::function<void(std::string)> log;
};

// Connects, authenticates, serves and disconnects; returns the exit status. Every event of the
// session reaches `log` as its message; the outcome is one "AI_DIAGNOSTICS …" line.
Awaitable<int> run(AIDiagnosticsEndpoint endpoint, RunEnvironment environment);

// The program's diagnostics mode: the application's session over plain TCP (no TLS, the desktop
// collaborators, the process-wide activity gate, no account context), the saved direct-connection
// settings of `bundleIdentifier`'s user defaults, and the diagnostics log file. It owns the
// session: the program destroys it after its event loop and before its runtime stops, which
// closes and releases the session even when the program quits in the middle of a run.
class ApplicationRun {
 public:
  // `finish` receives the exit status once the session is closed and the log is written.
  ApplicationRun(Executor mainExecutor, Executor ioExecutor, const std::string& bundleIdentifier,
                 std::function<void(int)> finish);
  ~ApplicationRun();
  ApplicationRun(const ApplicationRun&) = delete;
  ApplicationRun& operator=(const ApplicationRun&) = delete;

  // What `AIDiagnosticsTestSession::start` needs to run this session.
  AIDiagnosticsTestSession::Environment environment() const;

 private:
  Executor mainExecutor_;
  Executor ioExecutor_;
  std::function<void(int)> finish_;
  std::shared_ptr<DiagnosticLogWriter> writer_;
  ReceiveStamp stamp_;
  std::shared_ptr<ManagerSessionClient> client_;
  std::string userID_;
  std::uint16_t connectionNumber_ = 0;
};

}  // namespace ai_diagnostics

}  // namespace vantrel

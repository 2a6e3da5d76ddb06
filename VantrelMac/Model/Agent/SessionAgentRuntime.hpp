#pragma once

// The windowless session agent: keeps one manager session alive through the privileged relay
// daemon. Each attempt reads the system-wide connection file afresh, builds a new session over a
// new relay transport, connects and authenticates (5 s), then looks at the session once a second
// while it stays authenticated; after every attempt, successful or not, it waits 5 s and starts
// over. No clipboard, no paste destination, no development channel.
//
// The loop is a `ManagerConnection` with a fixed 5 s retry; it runs on worker threads of its own. `stop()`
// (and the destructor) ends it at once: a sleep ends, a connection in progress is cancelled, and the
// attempt's session is disconnected before the call returns.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Support/Async.hpp"

namespace vantrel {

class DirectAuthClient;
class NetworkTransporting;

class SessionAgentRuntime {
 public:
  static constexpr std::chrono::seconds authenticationTimeout{5};
  static constexpr std::chrono::seconds supervisionInterval{1};
  static constexpr std::chrono::seconds retryDelay{5};
  // A connection file larger than this is refused unread.
  static constexpr std::size_t maximumConfigurationFileSize = 64 * 1024;

  struct Options {
    // The connection file, asked for again at every attempt.
    std::function<std::filesystem::path()> configurationPath;
    // The transport of one attempt (default: a new relay transport).
    std::function<std::shared_ptr<NetworkTransporting>(Executor)> makeTransport;
    std::size_t threads = 2;
  };

  SessionAgentRuntime();
  explicit SessionAgentRuntime(Options options);
  // Stops and joins.
  ~SessionAgentRuntime();
  SessionAgentRuntime(const SessionAgentRuntime&) = delete;
  SessionAgentRuntime& operator=(const SessionAgentRuntime&) = delete;

  // Starts the loop; a second call does nothing.
  void start();
  // Ends the loop and waits for it (the attempt's session disconnected); idempotent. Never call
  // it from the agent's own threads.
  void stop();

  // The executor the agent's sessions and loop run on.
  Executor executor() { return context_.get_executor(); }

  // The session of one attempt over `transport`: the desktop's screen streamer, input injector and
  // system information, the restart command, the shared activity gate, the development channel off.
  static std::shared_ptr<DirectAuthClient> makeClient(Executor executor,
                                                      std::shared_ptr<NetworkTransporting> transport);

  struct Shared;

 private:
  asio::io_context context_;
  // The threads run until `stop()`, whatever the loop awaits meanwhile.
  asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace vantrel

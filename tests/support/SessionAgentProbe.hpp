#pragma once

// Watching the session agent from a test: its log lines, its connection file, and waits for
// its worker threads without sleeping.

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Support/Async.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel::testing {

// An io_context run by a thread of its own for as long as the object lives (peers and sessions
// that must outlive the agent under test).
class ThreadedContext {
 public:
  ThreadedContext();
  ~ThreadedContext();
  ThreadedContext(const ThreadedContext&) = delete;
  ThreadedContext& operator=(const ThreadedContext&) = delete;
  Executor executor() { return io_.get_executor(); }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

// Spins (yielding, never sleeping) until `done()` holds; false when the hang guard passed first.
bool waitUntil(const std::function<bool()>& done);

// Runs three round trips through `executor`, so that work it had ready (timers a manual clock
// made due included) has been looked at.
void flushExecutor(const Executor& executor);

// The agent's "Session agent connection failed: …" lines, in order.
std::vector<std::string> agentFailureLines(const MemoryLogSink& sink);
// Every line of the "session-agent" category.
std::vector<std::string> agentLines(const MemoryLogSink& sink);

// Writes the connection file at its default place (under $VANTREL_SYSTEM_ROOT).
void writeConnectionFile(const std::string& text);
std::string connectionFileJSON(const std::string& host, int port, const std::string& userID,
                               int connectionNumber);

}  // namespace vantrel::testing

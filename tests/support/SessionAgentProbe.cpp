#include "support/SessionAgentProbe.hpp"

#include <fmt/format.h>
#include <asio/post.hpp>

#include <fstream>
#include <future>
#include <thread>

#include "Account/SystemConnectionConfiguration.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel::testing {

ThreadedContext::ThreadedContext() : guard_(io_.get_executor()), thread_([this] { io_.run(); }) {}

ThreadedContext::~ThreadedContext() {
  guard_.reset();
  io_.stop();
  thread_.join();
}

bool waitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + hangGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void flushExecutor(const Executor& executor) {
  for (int round = 0; round < 3; ++round) {
    std::promise<void> ran;
    auto future = ran.get_future();
    asio::post(executor, [&ran] { ran.set_value(); });
    if (future.wait_for(hangGuard) != std::future_status::ready) throw std::runtime_error("executor stalled");
    // Let the reactor pass over the timers between two rounds.
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  }
}

std::vector<std::string> agentLines(const MemoryLogSink& sink) {
  std::vector<std::string> lines;
  for (const auto& entry : sink.entries()) {
    if (entry.subsystem == "local.vantrel.VantrelMac" && entry.category == "session-agent") {
      lines.push_back(entry.message);
    }
  }
  return lines;
}

std::vector<std::string> agentFailureLines(const MemoryLogSink& sink) {
  std::vector<std::string> lines;
  for (const auto& entry : sink.entries()) {
    if (entry.category == "session-agent" && entry.level == LogLevel::error &&
        entry.message.rfind("Session agent connection failed: ", 0) == 0) {
      lines.push_back(entry.message);
    }
  }
  return lines;
}

void writeConnectionFile(const std::string& text) {
  const auto path = SystemConnectionConfiguration::defaultURL();
  std::filesystem::create_directories(path.parent_path());
  const auto temporary = path.string() + ".tmp";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
  std::filesystem::rename(temporary, path);
}

std::string connectionFileJSON(const std::string& host, int port, const std::string& userID,
                               int connectionNumber) {
  return fmt::format(R"({{"host": "{}", "port": {}, "userID": "{}", "connectionNumber": {}}})", host, port,
                     userID, connectionNumber);
}

}  // namespace vantrel::testing

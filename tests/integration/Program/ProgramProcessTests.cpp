#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "Model/InfoDictionary.hpp"
#include "Model/RunMode.hpp"
#include "support/AsyncTest.hpp"
#include "support/TestEnvironment.hpp"

extern char** environ;

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

const fs::path programPath = VANTREL_MAC_EXECUTABLE;

// The real program, started with a private HOME, no display and its standard error captured.
class Program {
 public:
  explicit Program(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    readEnd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
          entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
        continue;
      }
      environment.push_back(entry);
    }
    std::vector<char*> argv;
    argv.reserve(arguments_.size() + 1);
    for (auto& a : arguments_) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, programPath.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  }

  ~Program() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(readEnd_);
  }

  // Reads standard error until the text appears, the stream ends or the guard passes.
  bool waitForOutput(std::string_view text) {
    const auto deadline = SteadyClock::now() + testing::hangGuard;
    while (output_.find(text) == std::string::npos) {
      if (!readSome(deadline)) return output_.find(text) != std::string::npos;
    }
    return true;
  }

  // Waits for the program to end by itself (reading its output meanwhile); its exit status.
  std::optional<int> waitForExit() {
    const auto deadline = SteadyClock::now() + testing::hangGuard;
    while (readSome(deadline)) {
    }
    if (SteadyClock::now() >= deadline) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    status_ = status;
    return status;
  }

  void signal(int number) { ::kill(pid_, number); }
  const std::string& output() const noexcept { return output_; }

 private:
  // False at the end of the stream or when the guard passed.
  bool readSome(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) return false;
    pollfd p{readEnd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const auto n = ::read(readEnd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int readEnd_ = -1;
  std::string output_;
  std::optional<int> status_;
};

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST(Program, DiagnosticsWithAnInvalidEndpointEndsByItselfWithTheLogLine) {
  testing::TemporaryHome home;
  Program program(
      {programPath.string(), "--ai-diagnostics-test", "--test-host", "10.0.0.1", "--test-port", "1"});
  const auto status = program.waitForExit();
  EXPECT_TRUE(exitedWith(status, 0)) << program.output();
  EXPECT_NE(program.output().find("AI_DIAGNOSTICS invalid explicit QA endpoint"), std::string::npos)
      << program.output();
  // The entry itself logs nothing in this mode.
  EXPECT_EQ(program.output().find("VantrelMac main started"), std::string::npos) << program.output();
}

TEST(Program, SessionAgentStartsWithoutADisplayAndLogsItsStartLine) {
  testing::TemporaryHome home;
  const std::vector<std::string> arguments{programPath.string(), "--session-agent", "it's \"quoted\""};
  Program program(arguments);
  ASSERT_TRUE(program.waitForOutput(mainStartedLogLine(arguments))) << program.output();
  // It keeps running until it is told to stop, and then ends cleanly.
  program.signal(SIGTERM);
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.output();
  EXPECT_EQ(program.output().find("could not connect to display"), std::string::npos) << program.output();
}

}  // namespace
}  // namespace vantrel

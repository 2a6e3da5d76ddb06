#include "support/ChildProcess.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/TestEnvironment.hpp"

extern char** environ;

namespace vantrel::testing {

std::vector<std::string> childEnvironment(bool keepDisplay) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || !isPrivateRuntimeFolder(runtime)) {
    throw std::logic_error(
        std::string("a test starts a program without a private runtime folder (XDG_RUNTIME_DIR=") +
        (runtime != nullptr ? runtime : "unset") + "): give the test a TemporaryHome");
  }
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const bool display = entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
                         entry.starts_with("QT_QPA_PLATFORM=");
    if (display && !keepDisplay) continue;
    environment.push_back(entry);
  }
  return environment;
}

std::vector<char*> argvOf(std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return argv;
}

int runProgram(std::vector<std::string> arguments) {
  auto argv = argvOf(arguments);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool readBefore(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
          .count();
  if (left <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
  char buffer[4096];
  const auto n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

ShellResult runShell(const std::string& command) {
  ShellResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer{};
  while (const auto n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    result.output.append(buffer.data(), n);
  result.status = ::pclose(pipe);
  return result;
}

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
  int fds[2];
  auto environment = childEnvironment(true);
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  errorFd_ = fds[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  auto argv = argvOf(arguments);
  auto envp = argvOf(environment);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(errorFd_);
    throw std::runtime_error("posix_spawn failed for " + arguments[0]);
  }
}

ChildProcess::~ChildProcess() {
  ::kill(pid_, SIGTERM);
  // Keep reading what it still writes while it ends, so it never blocks on a full pipe.
  char buffer[4096];
  while (::read(errorFd_, buffer, sizeof buffer) > 0) {
  }
  ::close(errorFd_);
  ::waitpid(pid_, nullptr, 0);
}

bool ChildProcess::waitForError(const std::string& text) {
  char buffer[512];
  while (seen_.find(text) == std::string::npos) {
    const auto n = ::read(errorFd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen_.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vantrel::testing

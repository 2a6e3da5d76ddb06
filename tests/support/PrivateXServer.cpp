#include "support/PrivateXServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>
#include <vector>

namespace vantrel::testing {

PrivateXServer::PrivateXServer(int width, int height, std::vector<std::string> extraArguments)
    : width_(width), height_(height), extraArguments_(std::move(extraArguments)) {
  launch("");
}

void PrivateXServer::restart() {
  stop();
  launch(displayName_);
}

void PrivateXServer::launch(const std::string& display) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Kept clear of descriptor 3, which the child's copy must become.
  const int writeEnd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  ::close(fds[1]);
  fds[1] = writeEnd;
  const std::string screen = std::to_string(width_) + "x" + std::to_string(height_) + "x24";
  std::vector<std::string> args{"Xvfb", "-displayfd", "3",   "-screen", "0",
                                screen, "-nolisten",  "tcp", "-noreset"};
  // Again on the same number: the server then reports that number once it accepts connections.
  if (!display.empty()) args.insert(args.begin() + 1, display);
  args.insert(args.end(), extraArguments_.begin(), extraArguments_.end());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The server ends with the test even when the test dies without cleaning up.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(fds[1], 3);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    ::execvp("Xvfb", argv.data());
    ::_exit(127);
  }
  ::close(devNull);
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    throw std::runtime_error("cannot start Xvfb");
  }
  pid_ = pid;
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  while (true) {
    // A generous guard against a server that never comes up; not a timing assertion.
    if (::poll(&pfd, 1, 30000) <= 0) break;
    char c = 0;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number.push_back(c);
  }
  ::close(fds[0]);
  if (number.empty()) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    throw std::runtime_error("Xvfb did not report its display");
  }
  displayName_ = ":" + number;
}

void PrivateXServer::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

}  // namespace vantrel::testing

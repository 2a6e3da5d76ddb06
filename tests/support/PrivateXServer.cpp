#include "support/PrivateXServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::testing {

namespace {

// The display numbers named by VANTREL_TEST_DISPLAYS ("first-last"), on a machine where each user
// of the tests keeps to a range of its own; nullopt when it is not set.
std::optional<std::pair<int, int>> allowedDisplays() {
  const char* value = std::getenv("VANTREL_TEST_DISPLAYS");
  if (!value || !*value) return std::nullopt;
  const std::string_view text(value);
  const auto dash = text.find('-');
  int first = 0;
  int last = 0;
  const auto firstPart = text.substr(0, dash);
  const auto lastPart = dash == std::string_view::npos ? firstPart : text.substr(dash + 1);
  const auto a = std::from_chars(firstPart.data(), firstPart.data() + firstPart.size(), first);
  const auto b = std::from_chars(lastPart.data(), lastPart.data() + lastPart.size(), last);
  if (a.ec != std::errc() || a.ptr != firstPart.data() + firstPart.size() || b.ec != std::errc() ||
      b.ptr != lastPart.data() + lastPart.size() || first < 0 || last < first) {
    throw std::runtime_error("VANTREL_TEST_DISPLAYS is not a range of display numbers (first-last)");
  }
  return std::pair{first, last};
}

}  // namespace

PrivateXServer::PrivateXServer(int width, int height, std::vector<std::string> extraArguments, int depth)
    : width_(width), height_(height), depth_(depth), extraArguments_(std::move(extraArguments)) {
  const auto range = allowedDisplays();
  if (!range) {
    if (!launch("")) throw std::runtime_error("Xvfb did not report its display");
    return;
  }
  // A number in use makes the server give up at once, without reporting it: the next is tried.
  for (int number = range->first; number <= range->second; ++number) {
    if (launch(":" + std::to_string(number))) return;
  }
  throw std::runtime_error("no display number of VANTREL_TEST_DISPLAYS is free");
}

void PrivateXServer::restart() {
  stop();
  if (!launch(displayName_)) throw std::runtime_error("Xvfb did not come back on " + displayName_);
}

bool PrivateXServer::launch(const std::string& display) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Kept clear of descriptor 3, which the child's copy must become.
  const int writeEnd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  ::close(fds[1]);
  fds[1] = writeEnd;
  const std::string screen =
      std::to_string(width_) + "x" + std::to_string(height_) + "x" + std::to_string(depth_);
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
    pid_ = -1;
    return false;
  }
  displayName_ = ":" + number;
  return true;
}

void PrivateXServer::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

}  // namespace vantrel::testing

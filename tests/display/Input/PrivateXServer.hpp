#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

// A private X server of this test alone, started on a free display number; it reports the
// number through a pipe once it accepts connections, so nothing waits on a timer.
class PrivateXServer {
 public:
  explicit PrivateXServer(const char* screen = "640x480x24") {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // The server ends with the test process, even when the test dies.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~PrivateXServer() { stop(); }

  const std::optional<std::string>& display() const { return display_; }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  std::optional<std::string> display_;
};

}  // namespace vantrel::testing

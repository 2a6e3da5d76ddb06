#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Platform/XTestInput.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

// A private X server of this test alone, started on a free display number; it reports the
// number through a pipe once it accepts connections, so nothing waits on a timer.
class PrivateXServer {
 public:
  PrivateXServer() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
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

TEST(XTestInputServerLoss, AServerThatGoesAwayEndsInRefusalNotInProcessExit) {
  PrivateXServer server;
  ASSERT_TRUE(server.display()) << "Xvfb did not start";
  const char* previous = std::getenv("DISPLAY");
  const std::string saved = previous ? previous : "";
  ::setenv("DISPLAY", server.display()->c_str(), 1);

  MemoryLogSink sink;
  {
    auto input = std::make_shared<XTestInput>();
    CGEventRemoteInputInjector injector(input);
    LegacyInputPacket move;
    move.command = 50;
    move.mode = 1;
    move.x = 10;
    move.y = 20;
    injector.inject(move);
    EXPECT_TRUE(input->movePointer(30, 40));

    server.stop();
    // The broken connection is noticed by the next post, which fails instead of ending the
    // process; with no server to reconnect to, the injector then reports the missing permission.
    EXPECT_FALSE(input->movePointer(50, 60));
    EXPECT_TRUE(sink.contains("X server connection lost: " + *server.display()));
    EXPECT_FALSE(input->isAvailable());
    try {
      injector.inject(move);
      ADD_FAILURE() << "no error";
    } catch (const RemoteInputInjectionError& error) {
      EXPECT_EQ(error, RemoteInputInjectionError::accessibilityDenied());
    }
  }

  if (previous) {
    ::setenv("DISPLAY", saved.c_str(), 1);
  } else {
    ::unsetenv("DISPLAY");
  }
}

}  // namespace
}  // namespace vantrel

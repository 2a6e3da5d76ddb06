// Quitting the tray program in each state a user leaves it in: idle after a fresh start, retrying a
// refused connection, streaming the screen to a manager, and signed in to two managers while the
// first one streams. Every quit must end the process with status 0 and nothing from the memory or
// undefined-behaviour checkers (scripts/test runs these tests in the sanitizer build as well).

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ProgramProcess;
using namespace testing::programs;

class Quit : public ::testing::Test {
 protected:
  void SetUp() override {
    std::unique_ptr<::Display, int (*)(::Display*)> display{XOpenDisplay(nullptr), XCloseDisplay};
    if (!display) GTEST_SKIP() << "needs an X display (scripts/test provides one)";
    home_.setEnv("XDG_STATE_HOME", state().string());
  }

  fs::path state() const { return home_.root() / "state"; }
  fs::path log() const { return state() / "VantrelMac.log"; }

  // True once the program's diagnostics log holds `text` (bounded polling; it appends as it goes).
  bool logShows(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      std::stringstream content;
      content << std::ifstream(log()).rdbuf();
      if (content.str().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::unique_ptr<ProgramProcess> startManager(const nlohmann::json& steps, const std::string& tag) {
    return testing::startManagerStandIn(standInPath, home_.root(), steps.dump(), tag);
  }

  int portOf(const std::string& tag) const { return testing::standInPort(home_.root(), tag); }

  std::unique_ptr<ProgramProcess> startProgram(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), programPath);
    return std::make_unique<ProgramProcess>(std::move(arguments), ProgramProcess::Options{true, false});
  }

  // SIGTERM, as the desktop's log-out or `kill` sends it; the program must end by itself, cleanly.
  static void quitAndExpectACleanEnd(ProgramProcess& program) { testing::expectCleanQuit(program); }

  // The quit ends the sessions first (the screen capture stopped, its thread joined) and only then
  // lets the application's objects go: the status model is still there to log the stream's end.
  void expectTheApplicationSawTheStreamEnd() const {
    std::stringstream content;
    content << std::ifstream(log()).rdbuf();
    EXPECT_NE(content.str().find("Z Screen stream stopped: disconnect\n"), std::string::npos)
        << content.str();
  }

  testing::TemporaryHome home_;
};

// A port on loopback that nobody listens on (bound, never listened to, closed).
int refusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return 0;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST_F(Quit, IdleAfterAFreshStartWithNoSettings) {
  auto program = startProgram({});
  ASSERT_TRUE(logShows("Interactive launch mode; waiting for account login")) << program->output();
  quitAndExpectACleanEnd(*program);
}

TEST_F(Quit, WhileRetryingARefusedConnection) {
  const int port = refusingPort();
  ASSERT_GT(port, 0);
  testing::saveDirectAutoLogin(home_.path(), port);
  auto program = startProgram({"ALogin"});
  ASSERT_TRUE(logShows("Reconnect scheduled in")) << program->output();
  quitAndExpectACleanEnd(*program);
}

TEST_F(Quit, WhileTheScreenStreamsToAManager) {
  auto manager = startManager(nlohmann::json::array({{{"step", "screen"}, {"seconds", 0.3}}}), "manager");
  testing::saveDirectAutoLogin(home_.path(), portOf("manager"));
  auto program = startProgram({"ALogin"});
  // The manager never ends the stream: it still runs when the program is told to quit.
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << program->output();
  quitAndExpectACleanEnd(*program);
  expectTheApplicationSawTheStreamEnd();
}

// Signed in at the login server, which names two managers; the first streams at the quit.
TEST_F(Quit, SignedInToTwoManagersWhileTheFirstStreams) {
  auto first = startManager(
      nlohmann::json::array({{{"step", "comInfo"}}, {{"step", "screen"}, {"seconds", 0.3}}}), "first");
  auto second = startManager(nlohmann::json::array({{{"step", "comInfo"}}}), "second");
  const auto login =
      testing::startLoginServerNamingManagers(home_, loginServerPath, credentialSeedPath, "quit",
                                              "quit password", {portOf("first"), portOf("second")});
  auto program = startProgram({"ALogin"});
  ASSERT_TRUE(second->waitForOutput("step comInfo ok")) << second->output() << program->output();
  ASSERT_TRUE(first->waitForOutput("step screen ok")) << first->output() << program->output();
  quitAndExpectACleanEnd(*program);
  expectTheApplicationSawTheStreamEnd();
}

}  // namespace
}  // namespace vantrel

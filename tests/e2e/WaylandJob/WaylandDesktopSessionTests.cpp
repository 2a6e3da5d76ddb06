// What the tray program keeps open in the compositor, process against process: a remote-desktop
// session (and the screen cast linked to it) only while a manager is connected, none at quit, and
// a compositor asked to stop while the program idles stops.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::PrivateWaylandSession;
using testing::ProgramProcess;
using namespace testing::programs;

// The session objects a compositor service holds now (busctl's list of its object paths).
std::vector<std::string> sessionsOf(const std::string& service, const std::string& prefix) {
  std::vector<std::string> sessions;
  std::istringstream list(testing::runShell("busctl --user --list tree " + service + " 2>/dev/null").output);
  for (std::string path; std::getline(list, path);) {
    while (!path.empty() && path.back() == ' ') path.pop_back();
    if (path.starts_with(prefix)) sessions.push_back(path);
  }
  return sessions;
}

std::size_t remoteDesktopSessions() {
  return sessionsOf("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop/Session/").size();
}

std::size_t screenCastSessions() {
  return sessionsOf("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast/Session/").size();
}

// Bounded by a limit only a hang reaches.
bool becomes(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Gone, or a zombie its parent has not reaped yet.
bool processEnded(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string skip, state;
  stat >> skip >> skip >> state;
  return state == "Z";
}

std::string contentOf(const fs::path& path) {
  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  return content.str();
}

class WaylandDesktopSession : public ::testing::Test {
 protected:
  void SetUp() override { session_ = testing::startProgramSession(home_, {true, 1920, 1080}); }

  fs::path log() const { return testing::programLog(home_); }
  fs::path mutterLog() const { return session_->runtimeFolder() / "mutter.log"; }

  // A manager that moves the pointer (so the program needs the desktop), then waits for `gate`;
  // it stays connected until it is ended.
  std::unique_ptr<ProgramProcess> startManager(const fs::path& gate) {
    const nlohmann::json steps = {{{"step", "move"}, {"x", 40}, {"y", 30}},
                                  {{"step", "waitForFile"}, {"path", gate.string()}, {"timeout", 60}}};
    return testing::startManagerStandIn(standInPath, home_.root(), steps.dump(), "manager");
  }

  testing::TemporaryHome home_;
  std::unique_ptr<PrivateWaylandSession> session_;
};

TEST_F(WaylandDesktopSession,
       ASessionIsOpenOnlyWhileAManagerIsConnectedAndAnIdleProgramLetsTheCompositorStop) {
  const auto gate = home_.root() / "manager-may-leave";
  auto manager = startManager(gate);
  const int port = testing::standInPort(home_.root(), "manager");

  // With no manager: the program is up and polls its clipboard, and nothing is open.
  {
    ProgramProcess idle({programPath}, ProgramProcess::Options{true, false});
    ASSERT_TRUE(idle.waitForOutput("desktop backend: GNOME Wayland")) << idle.output();
    ASSERT_TRUE(becomes([&] {
      return contentOf(log()).find("Interactive launch mode") != std::string::npos;
    })) << contentOf(log())
        << idle.output();
    EXPECT_EQ(remoteDesktopSessions(), 0u);
    EXPECT_EQ(screenCastSessions(), 0u);
    testing::expectCleanQuit(idle);
  }

  // A manager connects: its input needs a session; it leaves: the session goes.
  testing::saveDirectAutoLogin(home_.path(), port);
  ProgramProcess connected({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager->waitForOutput("waiting for " + gate.string()))
      << manager->output() << connected.output();
  EXPECT_TRUE(becomes([] { return remoteDesktopSessions() == 1; })) << contentOf(log());
  EXPECT_TRUE(becomes([] { return screenCastSessions() == 1; })) << "the cast linked to the session";
  std::ofstream(gate).flush();
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output();
  manager.reset();
  EXPECT_TRUE(becomes([] { return remoteDesktopSessions() == 0 && screenCastSessions() == 0; }))
      << contentOf(log());

  // With both programs idle, a compositor asked to stop stops (mutter 43 would not while a
  // remote-desktop session with a linked cast is open).
  const pid_t mutter = session_->compositorPid();
  ASSERT_EQ(::kill(mutter, SIGTERM), 0);
  EXPECT_TRUE(becomes([&] { return processEnded(mutter); })) << "the compositor still runs";
}

TEST_F(WaylandDesktopSession, AQuitWithAManagerConnectedLeavesNoSessionBehind) {
  const auto gate = home_.root() / "never";
  auto manager = startManager(gate);
  testing::saveDirectAutoLogin(home_.path(), testing::standInPort(home_.root(), "manager"));
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager->waitForOutput("waiting for " + gate.string())) << manager->output() << agent.output();
  ASSERT_TRUE(becomes([] { return remoteDesktopSessions() == 1; })) << contentOf(log());

  testing::expectCleanQuit(agent);
  // The program ended its session itself: the compositor never had to clean up after it.
  EXPECT_EQ(remoteDesktopSessions(), 0u);
  EXPECT_EQ(screenCastSessions(), 0u);
  EXPECT_EQ(contentOf(mutterLog()).find("client with active sessions vanished"), std::string::npos)
      << contentOf(mutterLog());
  const pid_t mutter = session_->compositorPid();
  ASSERT_EQ(::kill(mutter, SIGTERM), 0);
  EXPECT_TRUE(becomes([&] { return processEnded(mutter); })) << "the compositor still runs";
}

}  // namespace
}  // namespace vantrel

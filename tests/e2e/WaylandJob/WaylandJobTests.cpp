// The program doing its main job on a GNOME Wayland session, process against process: a private
// headless mutter with PipeWire (scripts/wayland-session), a Wayland client that shows a pattern
// and prints the input it receives, the manager stand-in on loopback and the real program. The
// manager's decoded picture is compared with the compositor's own picture of the screen; the
// pointer and a key must reach the Wayland client; the compositor is killed mid-stream and brought
// back; the program quits while streaming; a still screen costs no keyframes.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "support/ChildProcess.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::PrivateWaylandSession;
using testing::ProgramProcess;
using testing::SceneClient;
using testing::WaylandClientProcess;
using namespace testing::programs;

const std::string shotPath = VANTREL_WAYLAND_SHOT;

std::string contentOf(const fs::path& path) {
  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  return content.str();
}

// True once the file holds `text` (bounded polling; the program appends as it goes).
bool fileShows(const fs::path& path, const std::string& text,
               std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (contentOf(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class WaylandJob : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_.path() / "Downloads");
    fs::create_directories(home_.path() / "Shared");
    fs::create_directories(home_.root() / "fetched");
  }

  void startSession(bool xwayland) { session_ = testing::startProgramSession(home_, {xwayland, 1920, 1080}); }

  fs::path log() const { return testing::programLog(home_); }

  std::unique_ptr<ProgramProcess> startManager(const nlohmann::json& steps, const std::string& tag,
                                               std::vector<std::string> extra = {}) {
    return testing::startManagerStandIn(standInPath, home_.root(), steps.dump(), tag, 0, extra);
  }

  int portOf(const std::string& tag) const { return testing::standInPort(home_.root(), tag); }

  nlohmann::json reportOf(const std::string& tag) const {
    std::ifstream in(home_.root() / (tag + ".json"));
    return nlohmann::json::parse(in, nullptr, false);
  }

  // A full-screen Wayland client that prints the input it receives; on top, and focused.
  std::unique_ptr<WaylandClientProcess> startRecorder() {
    auto recorder = std::make_unique<WaylandClientProcess>(WaylandClientProcess::inputRecorderCommand(),
                                                           WaylandClientProcess::gtkWaylandEnvironment());
    EXPECT_TRUE(recorder->waitForPrefix("ready")) << linesOf(*recorder);
    return recorder;
  }

  static std::string linesOf(const WaylandClientProcess& client) {
    std::string all;
    for (const auto& line : client.lines()) all += line + "\n";
    return all;
  }

  std::unique_ptr<ProgramProcess> startSessionAgent(int port) {
    return testing::startSessionAgentThroughRelay(home_, programPath, relayPath, port, relay_);
  }

  // The compositor's own picture of the screen as the manager's luma file; false when it fails.
  bool takeCompositorShot(const fs::path& pgm) {
    return testing::runProgram({shotPath, "--pgm", pgm.string()}) == 0;
  }

  // A clean quit that leaves none of the program's children behind.
  static void quitAndExpectACleanEnd(ProgramProcess& program) {
    const auto children = testing::childrenOf(program.pid());
    testing::expectCleanQuit(program);
    for (const auto child : children) EXPECT_NE(::kill(child, 0), 0) << "child " << child << " still runs";
  }

  testing::TemporaryHome home_;
  std::unique_ptr<PrivateWaylandSession> session_;
  std::unique_ptr<ProgramProcess> relay_;
};

// The tray program as a user starts it on the session (its windows on Xwayland): the manager sees
// the compositor's screen, its pointer move and key reach a Wayland client, files go both ways.
TEST_F(WaylandJob, TheTrayProgramStreamsTheCompositorsScreenAndItsInputReachesAWaylandClient) {
  startSession(true);
  const auto gate = home_.root() / "recorder-ready";
  const auto shot = home_.root() / "screen.pgm";
  std::ofstream(home_.root() / "to-agent.bin") << std::string(300000, 'x');
  std::ofstream(home_.path() / "Shared" / "from-agent.bin") << std::string(200000, 'y');
  const nlohmann::json steps = {
      {{"step", "waitForFile"}, {"path", gate.string()}},
      {{"step", "screen"},
       {"width", 1920},
       {"height", 1080},
       {"seconds", 1.0},
       {"expectWidth", 1920},
       {"expectHeight", 1080}},
      {{"step", "matchScreen"}, {"path", shot.string()}, {"minPSNR", 30.0}},
      {{"step", "move"}, {"x", 123}, {"y", 77}},
      {{"step", "key"}, {"code", 0x41}},
      {{"step", "sendFile"},
       {"path", (home_.root() / "to-agent.bin").string()},
       {"to", (home_.path() / "Downloads").string()}},
      {{"step", "fetchFile"}, {"path", (home_.path() / "Shared" / "from-agent.bin").string()}},
      {{"step", "screenEnd"}}};
  auto manager = startManager(steps, "manager");
  testing::saveDirectAutoLogin(home_.path(), portOf("manager"));
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(agent.waitForOutput("desktop backend: GNOME Wayland")) << agent.output();
  // The client comes up after the program's window, so that it is on top and has the keyboard.
  ASSERT_TRUE(manager->waitForOutput("waiting for " + gate.string())) << manager->output() << agent.output();
  auto recorder = startRecorder();
  std::ofstream(gate).flush();
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << agent.output();
  ASSERT_TRUE(takeCompositorShot(shot));
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent.output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  const auto report = reportOf("manager");
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(report["screen"]["decodeErrors"], 0);
  EXPECT_TRUE(recorder->waitForPrefix("motion 123 77")) << linesOf(*recorder);
  EXPECT_TRUE(recorder->waitForPrefix("key press a ")) << linesOf(*recorder);
  EXPECT_TRUE(recorder->waitForPrefix("key release a ")) << linesOf(*recorder);
  EXPECT_TRUE(fileShows(home_.path() / "Downloads" / "to-agent.bin", std::string(300000, 'x')));
  EXPECT_EQ(contentOf(home_.root() / "fetched" / "from-agent.bin"), std::string(200000, 'y'));
  quitAndExpectACleanEnd(agent);
}

// The compositor crashes mid-stream: the stream fails with a clear text, not a black picture; once
// a new compositor is up the next screen request streams again and input reaches its clients.
TEST_F(WaylandJob, AStreamLostWithTheCompositorStartsAgainOnceItIsBack) {
  startSession(false);
  const auto gate = home_.root() / "compositor-back";
  const nlohmann::json steps = {
      {{"step", "screen"}, {"width", 1920}, {"height", 1080}, {"seconds", 0.5}},
      {{"step", "waitForFile"}, {"path", gate.string()}, {"timeout", 60}},
      {{"step", "screen"}, {"width", 1920}, {"height", 1080}, {"seconds", 0.5}, {"expectWidth", 1920}},
      {{"step", "move"}, {"x", 640}, {"y", 360}},
      {{"step", "screenEnd"}}};
  auto manager = startManager(steps, "manager");
  auto agent = startSessionAgent(portOf("manager"));
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << agent->output();
  session_->killCompositor();
  ASSERT_TRUE(agent->waitForOutput("Screen stream failed: ")) << agent->output();
  const auto failure = agent->output().substr(agent->output().find("Screen stream failed: "));
  EXPECT_NE(failure.find("compositor"), std::string::npos) << failure;
  session_->restartCompositor();
  auto recorder = startRecorder();
  std::ofstream(gate).flush();
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos)
      << manager->output() << agent->output();
  EXPECT_TRUE(recorder->waitForPrefix("motion 640 360")) << linesOf(*recorder) << agent->output();
  quitAndExpectACleanEnd(*agent);
}

// A Wayland session whose compositor offers none of the services: the program says why and
// refuses the screen; the manager gets no picture at all, rather than a black one.
TEST_F(WaylandJob, ADesktopWithoutTheCompositorServicesGetsAClearErrorAndNoPicture) {
  startSession(false);
  session_->killCompositor();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (BusCall::userBusHasName(MutterScreenCastService::name)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the compositor's name stays on the bus";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto manager = startManager(
      nlohmann::json::array({{{"step", "screenRequest"}, {"width", 1920}, {"height", 1080}, {"seconds", 1.0}},
                             {{"step", "comInfo"}}}),
      "manager");
  auto agent = startSessionAgent(portOf("manager"));
  ASSERT_TRUE(agent->waitForOutput("unsupported Wayland session: This Wayland desktop offers no screen-cast"))
      << agent->output();
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  const auto report = reportOf("manager");
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(report["screen"]["units"], 0) << report.dump(2);
  EXPECT_EQ(report["screen"]["pictures"], 0) << report.dump(2);
  quitAndExpectACleanEnd(*agent);
}

// SIGTERM while the screen streams: the program ends by itself with status 0, its capture stopped.
TEST_F(WaylandJob, TheProgramQuitsCleanlyWhileTheScreenStreams) {
  startSession(true);
  auto manager = startManager(nlohmann::json::array({{{"step", "screen"}, {"seconds", 0.5}}}), "manager");
  testing::saveDirectAutoLogin(home_.path(), portOf("manager"));
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << agent.output();
  quitAndExpectACleanEnd(agent);
  EXPECT_TRUE(fileShows(log(), "Screen stream stopped: disconnect")) << contentOf(log());
}

// A still screen: one keyframe at the start, then only the refreshes' small predicted pictures.
TEST_F(WaylandJob, AStillScreenSendsNoKeyframeAfterTheFirst) {
  startSession(false);
  SceneClient scene(1920, 1080);
  const auto streamLog = home_.root() / "stream.log";
  auto manager =
      startManager(nlohmann::json::array({{{"step", "screen"}, {"seconds", 6.0}}, {{"step", "screenEnd"}}}),
                   "manager", {"--stream-log", streamLog.string()});
  auto agent = startSessionAgent(portOf("manager"));
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  // One line per unit: time, bytes, keyframe (0/1), pictures decoded, painted number.
  std::ifstream in(streamLog);
  int units = 0;
  int keyframes = 0;
  long long time = 0, bytes = 0;
  int keyframe = 0;
  std::string rest;
  while (in >> time >> bytes >> keyframe && std::getline(in, rest)) {
    ++units;
    keyframes += keyframe;
  }
  EXPECT_GE(units, 2) << "the first picture and at least one refresh";
  EXPECT_EQ(keyframes, 1) << units << " units";
  quitAndExpectACleanEnd(*agent);
}

}  // namespace
}  // namespace vantrel

#include "support/PrivateWaylandSession.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/ChildProcess.hpp"

namespace vantrel::testing {

namespace {

const std::string script = std::string(VANTREL_SOURCE_DIR) + "/scripts/wayland-session";

// Runs the script with `arguments`, returns its standard output; throws with its output when it
// fails.
std::string runScript(const std::string& arguments) {
  auto [status, output] = runShell(script + " " + arguments + " 2>&1");
  if (status != 0) throw std::runtime_error("wayland-session " + arguments + " failed: " + output);
  return output;
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

}  // namespace

PrivateWaylandSession::PrivateWaylandSession() : PrivateWaylandSession(Options{}) {}

PrivateWaylandSession::PrivateWaylandSession(Options options) : options_(options) { start(); }

PrivateWaylandSession::~PrivateWaylandSession() {
  try {
    stop();
  } catch (...) {
  }
}

void PrivateWaylandSession::start() {
  std::string arguments = "start " + quoted(folder_.path() / "run") + " --size " +
                          std::to_string(options_.width) + "x" + std::to_string(options_.height);
  if (options_.xwayland) arguments += " --xwayland";
  const auto output = runScript(arguments);
  running_ = true;
  // Programs a test starts in this session keep to its runtime folder.
  registerPrivateRuntimeFolder(folder_.path() / "run");
  environment_.clear();
  std::ifstream env(folder_.path() / "run" / "env");
  std::string line;
  while (std::getline(env, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) environment_[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (!environment_.count("DBUS_SESSION_BUS_ADDRESS"))
    throw std::runtime_error("no session environment: " + output);
  applied_.clear();
  for (const auto& [name, value] : environment_) {
    applied_[name] = std::make_unique<ScopedEnvironmentVariable>(name, value);
  }
  if (!options_.xwayland)
    applied_["DISPLAY"] = std::make_unique<ScopedEnvironmentVariable>("DISPLAY", std::nullopt);
  // Whatever the surrounding run chose, the programs started in this session use it.
  applied_["VANTREL_DESKTOP_BACKEND"] =
      std::make_unique<ScopedEnvironmentVariable>("VANTREL_DESKTOP_BACKEND", "wayland");
}

int PrivateWaylandSession::compositorPid() const {
  std::ifstream pids(folder_.path() / "run" / "pids");
  pid_t mutter = 0;
  if (!(pids >> mutter) || mutter <= 0) throw std::runtime_error("the session's compositor is not known");
  return mutter;
}

void PrivateWaylandSession::signalCompositor(int signal) { ::kill(compositorPid(), signal); }

void PrivateWaylandSession::killCompositor() { signalCompositor(SIGKILL); }

void PrivateWaylandSession::pauseCompositor() { signalCompositor(SIGSTOP); }

void PrivateWaylandSession::resumeCompositor() { signalCompositor(SIGCONT); }

void PrivateWaylandSession::restartCompositor() {
  runScript("restart-compositor " + quoted(runtimeFolder()));
}

void PrivateWaylandSession::restart() {
  stop();
  start();
}

void PrivateWaylandSession::stop() {
  if (!running_) return;
  running_ = false;
  // The environment comes back before the services go, as it was before the start.
  applied_.clear();
  unregisterPrivateRuntimeFolder(folder_.path() / "run");
  runScript("stop " + quoted(folder_.path() / "run"));
}

std::unique_ptr<PrivateWaylandSession> startProgramSession(TemporaryHome& home,
                                                           PrivateWaylandSession::Options options) {
  std::filesystem::create_directories(home.root() / "tmp");
  home.setEnv("XDG_STATE_HOME", (home.root() / "state").string());
  auto session = std::make_unique<PrivateWaylandSession>(options);
  home.setEnv("TMPDIR", (home.root() / "tmp").string());
  return session;
}

std::filesystem::path programLog(const TemporaryHome& home) {
  return home.root() / "state" / "VantrelMac.log";
}

}  // namespace vantrel::testing

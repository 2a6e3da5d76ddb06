#include "support/WaylandClientProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/ChildProcess.hpp"

extern char** environ;

namespace vantrel::testing {

WaylandClientProcess::WaylandClientProcess(std::vector<std::string> arguments,
                                           const std::map<std::string, std::string>& extra) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto name = entry.substr(0, entry.find('='));
    if (!extra.count(name)) environment.push_back(entry);
  }
  for (const auto& [name, value] : extra) environment.push_back(name + "=" + value);
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  auto argv = argvOf(arguments);
  auto envp = argvOf(environment);
  const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (spawned != 0) {
    ::close(input_);
    ::close(output_);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
}

WaylandClientProcess::~WaylandClientProcess() {
  ::close(input_);
  ::kill(pid_, SIGTERM);
  char buffer[4096];
  while (::read(output_, buffer, sizeof buffer) > 0) {
  }
  ::close(output_);
  ::waitpid(pid_, nullptr, 0);
}

std::vector<std::string> WaylandClientProcess::inputRecorderCommand() {
  // The system interpreter: GTK's bindings (python3-gi) are a Debian package.
  return {"/usr/bin/python3",
          std::string(VANTREL_SOURCE_DIR) + "/tests/support/wayland-client/input-recorder.py"};
}

std::map<std::string, std::string> WaylandClientProcess::gtkWaylandEnvironment() {
  return {{"GDK_BACKEND", "wayland"}, {"GSK_RENDERER", "cairo"}, {"NO_AT_BRIDGE", "1"}, {"GTK_A11Y", "none"}};
}

void WaylandClientProcess::send(const std::string& line) {
  const std::string data = line + "\n";
  if (::write(input_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    throw std::runtime_error("the client does not take input");
  }
}

bool WaylandClientProcess::readMore(std::chrono::steady_clock::time_point deadline) {
  if (!readBefore(output_, partial_, deadline)) return false;
  for (auto end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
    lines_.push_back(partial_.substr(0, end));
    partial_.erase(0, end + 1);
  }
  return true;
}

std::optional<std::string> WaylandClientProcess::waitForLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    while (next_ < lines_.size()) {
      const auto& line = lines_[next_++];
      if (matches(line)) return line;
    }
    if (!readMore(deadline)) return std::nullopt;
  }
}

std::optional<std::string> WaylandClientProcess::waitForPrefix(const std::string& prefix,
                                                               std::chrono::milliseconds limit) {
  return waitForLine([&prefix](const std::string& line) { return line.starts_with(prefix); }, limit);
}

namespace {

std::vector<std::string> sceneCommand(int width, int height) {
  return {"/usr/bin/python3", std::string(VANTREL_SOURCE_DIR) + "/tests/support/wayland-client/scene.py",
          std::to_string(width), std::to_string(height)};
}

}  // namespace

SceneClient::SceneClient(int width, int height)
    : WaylandClientProcess(sceneCommand(width, height), gtkWaylandEnvironment()) {
  if (!waitForPrefix("ready", drawingLimit)) {
    std::string seen;
    for (const auto& line : lines()) seen += "\n" + line;
    throw std::runtime_error("the scene client did not draw itself" + seen);
  }
}

bool SceneClient::waitUntilDrawn(int command) {
  return waitForLine(
             [command](const std::string& line) {
               return line.starts_with("drawn ") && std::atoi(line.c_str() + 6) >= command;
             },
             drawingLimit)
      .has_value();
}

}  // namespace vantrel::testing

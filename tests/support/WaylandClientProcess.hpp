#pragma once

// A test client on the private Wayland session (tests/support/wayland-client/*.py): started with
// this process's environment plus `extra`, its standard input writable and its standard output
// read a line at a time; ended with SIGTERM when the object goes.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::testing {

class WaylandClientProcess {
 public:
  WaylandClientProcess(std::vector<std::string> arguments, const std::map<std::string, std::string>& extra);
  ~WaylandClientProcess();
  WaylandClientProcess(const WaylandClientProcess&) = delete;
  WaylandClientProcess& operator=(const WaylandClientProcess&) = delete;

  // The input recorder (input-recorder.py) on GTK's Wayland backend.
  static std::vector<std::string> inputRecorderCommand();
  static std::map<std::string, std::string> gtkWaylandEnvironment();

  void send(const std::string& line);
  // The next line (after those already taken) that `matches`, waiting up to `limit`; lines
  // skipped on the way stay in `lines()`. Nothing when the client ended or the time ran out.
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::optional<std::string> waitForPrefix(const std::string& prefix,
                                           std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Every line read so far.
  const std::vector<std::string>& lines() const noexcept { return lines_; }

 private:
  bool readMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = 0;
  int input_ = -1;
  int output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
};

// The scene client (scene.py): a full-screen window on the session this process points at,
// painting a known pattern of cells at `width` x `height`. Constructed once it has drawn itself;
// throws when it does not start or draw. It takes "fill X Y W H R G B" and "reset" through send()
// and prints "drawn N" once the result of its N-th command is on screen.
class SceneClient : public WaylandClientProcess {
 public:
  // Generous: a sanitizer build draws slowly; only a hang reaches it.
  static constexpr std::chrono::seconds drawingLimit{20};

  SceneClient(int width, int height);

  // Waits until the scene has drawn the result of its `command`-th command (or of a later one:
  // commands that arrive together are drawn in one go); false when it ended or `drawingLimit` passed.
  bool waitUntilDrawn(int command);
};

}  // namespace vantrel::testing

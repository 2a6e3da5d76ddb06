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

}  // namespace vantrel::testing

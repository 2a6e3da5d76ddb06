#pragma once

// A private headless GNOME Wayland session for one test (scripts/wayland-session): its own
// session bus, PipeWire and mutter with one virtual monitor, in a runtime folder of its own.
// While applied, this process's environment points at it (the session bus, the runtime folder,
// WAYLAND_DISPLAY and, with Xwayland, DISPLAY); the previous values come back afterwards.

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

class PrivateWaylandSession {
 public:
  struct Options {
    bool xwayland = false;
    int width = 1920;
    int height = 1080;
  };
  // Starts the session and points this process at it. Throws std::runtime_error when it does not
  // start (the script's message included).
  PrivateWaylandSession();
  explicit PrivateWaylandSession(Options options);
  ~PrivateWaylandSession();
  PrivateWaylandSession(const PrivateWaylandSession&) = delete;
  PrivateWaylandSession& operator=(const PrivateWaylandSession&) = delete;

  // What a client of the session needs in its environment (NAME → value).
  const std::map<std::string, std::string>& environment() const noexcept { return environment_; }
  std::filesystem::path runtimeFolder() const { return folder_.path() / "run"; }

  // Ends the compositor alone (SIGKILL), as a crash would: its bus names and screen casts go;
  // the bus and PipeWire stay.
  void killCompositor();
  // Stops the compositor (SIGSTOP) as a compositor too busy to answer would be, and lets it go on
  // (SIGCONT).
  void pauseCompositor();
  void resumeCompositor();
  // The compositor's process id.
  int compositorPid() const;
  // Starts the compositor again on the same bus after killCompositor(), as a desktop brings a
  // crashed one back; returns once its services are on the bus.
  void restartCompositor();
  // Ends everything and starts the session again in the same folder, with the same bus address.
  void restart();
  void stop();

 private:
  void start();
  void signalCompositor(int signal);
  Options options_;
  TemporaryDirectory folder_;
  std::map<std::string, std::string> environment_;
  std::map<std::string, std::unique_ptr<ScopedEnvironmentVariable>> applied_;
  bool running_ = false;
};

// A session for a test of the real program living in `home`: the program's log goes to
// programLog(`home`), and TMPDIR points into the home once the session runs, so that what the
// program and its children leave goes with the test while the session keeps its own files in its
// runtime folder.
std::unique_ptr<PrivateWaylandSession> startProgramSession(TemporaryHome& home,
                                                           PrivateWaylandSession::Options options);
std::filesystem::path programLog(const TemporaryHome& home);

}  // namespace vantrel::testing

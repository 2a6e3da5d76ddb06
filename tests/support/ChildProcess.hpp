#pragma once

// A helper program run by a test (a peer such as the relay daemon stand-in): started with its
// standard error captured, ended with SIGTERM and collected when the object goes.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vantrel::testing {

// The environment of a project program a test starts: this process's, without DISPLAY,
// WAYLAND_DISPLAY and QT_QPA_PLATFORM unless `keepDisplay`. Throws std::logic_error when
// XDG_RUNTIME_DIR does not name a private runtime folder (`isPrivateRuntimeFolder`), so that no
// test can start a program that meets another test's instance.
std::vector<std::string> childEnvironment(bool keepDisplay);

// The argument vector of `arguments` for exec: pointers into it, then a null pointer.
std::vector<char*> argvOf(std::vector<std::string>& arguments);

// Runs a program found in PATH to its end and returns its exit status (-1 when it could not run or
// did not exit).
int runProgram(std::vector<std::string> arguments);

// Appends what `fd` has to `into`, waiting for it until `deadline`; false at the end of the
// stream or when the deadline passed first.
bool readBefore(int fd, std::string& into, std::chrono::steady_clock::time_point deadline);

// A shell command run to its end: its standard output, read whole, and pclose()'s status (0 when
// it exited with 0; -1 when the shell could not be started).
struct ShellResult {
  int status = -1;
  std::string output;
};
ShellResult runShell(const std::string& command);

class ChildProcess {
 public:
  // `arguments[0]` is the program's path; its environment is `childEnvironment(true)`. Throws
  // when it cannot be started.
  explicit ChildProcess(std::vector<std::string> arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads the program's standard error until it contains `text`; false when it ended first.
  bool waitForError(const std::string& text);
  pid_t pid() const noexcept { return pid_; }

 private:
  pid_t pid_ = 0;
  int errorFd_ = -1;
  std::string seen_;
};

}  // namespace vantrel::testing

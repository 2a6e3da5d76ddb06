#pragma once

// A whole program run by a process-level test: started with the test's environment
// (`childEnvironment`: a private runtime folder required, optionally without a display), its
// standard error captured, waited for with the hang guard and killed if the test leaves it running.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::testing {

class ProgramProcess {
 public:
  struct Options {
    bool keepDisplay = false;    // false: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are removed
    bool errorToOutput = false;  // also capture standard output (into the same stream)
  };
  // `arguments[0]` is the program's path. Throws when it cannot be started.
  ProgramProcess(std::vector<std::string> arguments, Options options);
  explicit ProgramProcess(std::vector<std::string> arguments) : ProgramProcess(std::move(arguments), {}) {}
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  // Reads the captured output until the text appears; false when it ended or the guard passed.
  bool waitForOutput(std::string_view text);
  // Reads the captured output until the text appears `count` times; false when it ended or the
  // guard passed first.
  bool waitForOutput(std::string_view text, std::size_t count);
  // Waits for the program to end (reading its output meanwhile); its wait status.
  std::optional<int> waitForExit();
  void signal(int number) const;
  pid_t pid() const noexcept { return pid_; }
  const std::string& output() const noexcept { return output_; }

 private:
  pid_t pid_ = -1;
  int readEnd_ = -1;
  std::string output_;
  std::optional<int> status_;
};

bool exitedWith(const std::optional<int>& status, int code);

// Saves the program's settings in `home` for AUTO LOGIN with a remembered account and no password,
// so that the start-up login falls back to the direct connection to 127.0.0.1:`port`.
void saveDirectAutoLogin(const std::filesystem::path& home, int port);

class TemporaryHome;

// The peers of a program that signs in: the login-server stand-in (`loginServer`), started for one
// account whose answer names managers 1, 2, … on 127.0.0.1 at the given ports, in that order. The account
// is remembered in the program's settings in `home` and its password saved with `credentialSeed`;
// VANTREL_LOGIN_BASE_URL and VANTREL_LOGIN_CA_FILE point the program at the server. Returns the
// server's process (it runs until destroyed); throws when a peer does not start.
std::unique_ptr<ProgramProcess> startLoginServerNamingManagers(
    TemporaryHome& home, const std::string& loginServer, const std::string& credentialSeed,
    const std::string& account, const std::string& password, const std::vector<int>& managerPorts);

// The manager stand-in (`standIn`) playing `steps` on 127.0.0.1:`port` (0: any) and staying for
// further agents, its output captured: its report goes to <folder>/<tag>.json, its port to
// <folder>/<tag>.port and the files it fetches to <folder>/fetched. Returns once it listens.
std::unique_ptr<ProgramProcess> startManagerStandIn(const std::string& standIn,
                                                    const std::filesystem::path& folder,
                                                    const std::string& stepsJSON, const std::string& tag,
                                                    int port = 0, const std::vector<std::string>& extra = {});
// The port a stand-in started so listens on (0 when it wrote none).
int standInPort(const std::filesystem::path& folder, const std::string& tag);

// The process ids whose parent is `pid` (from /proc).
std::vector<pid_t> childrenOf(pid_t pid);

// The windowless session agent for the manager at 127.0.0.1:`port` (its connection file under the
// home's system root), through the relay daemon stand-in: both run from a copy of the build laid
// out as one installation in <home root>/install, since they accept each other only so. `relay`
// receives the daemon's process, started and listening; the agent's is returned.
std::unique_ptr<ProgramProcess> startSessionAgentThroughRelay(TemporaryHome& home, const std::string& program,
                                                              const std::string& relayDaemon, int port,
                                                              std::unique_ptr<ProgramProcess>& relay);

// SIGTERM, as the desktop's log-out or `kill` sends it: the program must end by itself with status
// 0, with nothing from the memory, thread or undefined-behaviour checkers in its output.
void expectCleanQuit(ProgramProcess& program);

}  // namespace vantrel::testing

#include "support/ProgramProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "support/AsyncTest.hpp"
#include "support/ChildProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

namespace {

std::chrono::steady_clock::time_point guardDeadline() { return std::chrono::steady_clock::now() + hangGuard; }

}  // namespace

ProgramProcess::ProgramProcess(std::vector<std::string> arguments, Options options) {
  auto environment = childEnvironment(options.keepDisplay);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  readEnd_ = fds[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  if (options.errorToOutput) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  auto argv = argvOf(arguments);
  auto envp = argvOf(environment);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(readEnd_);
    throw std::runtime_error("posix_spawn " + arguments[0] + ": " + std::strerror(rc));
  }
}

ProgramProcess::~ProgramProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(readEnd_);
}

bool ProgramProcess::waitForOutput(std::string_view text) {
  const auto deadline = guardDeadline();
  while (output_.find(text) == std::string::npos) {
    if (!readBefore(readEnd_, output_, deadline)) return output_.find(text) != std::string::npos;
  }
  return true;
}

bool ProgramProcess::waitForOutput(std::string_view text, std::size_t count) {
  const auto occurrences = [&] {
    std::size_t found = 0;
    for (auto at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size()))
      ++found;
    return found;
  };
  const auto deadline = guardDeadline();
  while (occurrences() < count) {
    if (!readBefore(readEnd_, output_, deadline)) return occurrences() >= count;
  }
  return true;
}

std::optional<int> ProgramProcess::waitForExit() {
  const auto deadline = guardDeadline();
  while (readBefore(readEnd_, output_, deadline)) {
  }
  if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  status_ = status;
  return status;
}

void ProgramProcess::signal(int number) const { ::kill(pid_, number); }

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (comm) state ppid …"; the command may hold spaces and parentheses.
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == pid) children.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return children;
}

void saveDirectAutoLogin(const std::filesystem::path& home, int port) {
  const auto folder = home / ".config" / "local.vantrel.VantrelMac";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "defaults.json")
      << nlohmann::json{{"VantrelMac.accountLogin.accountID", "e2e"},
                        {"VantrelMac.accountLogin.rememberAccountID", true},
                        {"VantrelMac.directConnection.host", "127.0.0.1"},
                        {"VantrelMac.directConnection.port", port},
                        {"VantrelMac.directConnection.userID", "e2e"},
                        {"VantrelMac.directConnection.connectionNumber", 0}}
             .dump();
}

std::unique_ptr<ProgramProcess> startLoginServerNamingManagers(
    TemporaryHome& home, const std::string& loginServer, const std::string& credentialSeed,
    const std::string& account, const std::string& password, const std::vector<int>& managerPorts) {
  const auto route = [](int index, int port) {
    return nlohmann::json{
        {"managerIndex", index}, {"insideHost", "127.0.0.1"}, {"publicHost", ""}, {"port", port}};
  };
  auto routes = nlohmann::json::array();
  for (std::size_t i = 0; i < managerPorts.size(); ++i) routes.push_back(route(int(i) + 1, managerPorts[i]));
  const nlohmann::json accounts = {
      {"accounts",
       {{{"accountID", account}, {"password", password}, {"assignedSlot", 3}, {"routes", routes}}}}};
  std::ofstream(home.root() / "accounts.json") << accounts.dump();
  const auto ca = home.root() / "login-ca.pem";
  auto server = std::make_unique<ProgramProcess>(
      std::vector<std::string>{loginServer, "--accounts", (home.root() / "accounts.json").string(),
                               "--ca-out", ca.string()},
      ProgramProcess::Options{false, true});
  if (!server->waitForOutput("listening on https://127.0.0.1:"))
    throw std::runtime_error("the login server did not start: " + server->output());
  const auto url = server->output().substr(server->output().find("https://"));
  home.setEnv("VANTREL_LOGIN_BASE_URL", url.substr(0, url.find('\n')));
  home.setEnv("VANTREL_LOGIN_CA_FILE", ca.string());

  const auto folder = home.path() / ".config" / "local.vantrel.VantrelMac";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "defaults.json") << nlohmann::json{
      {"VantrelMac.accountLogin.accountID", account},
      {"VantrelMac.accountLogin.rememberAccountID",
       true}}.dump();
  ProgramProcess seed({credentialSeed, "--account", account, "--password", password});
  if (!exitedWith(seed.waitForExit(), 0))
    throw std::runtime_error("the password was not saved: " + seed.output());
  return server;
}

std::unique_ptr<ProgramProcess> startSessionAgentThroughRelay(TemporaryHome& home, const std::string& program,
                                                              const std::string& relayDaemon, int port,
                                                              std::unique_ptr<ProgramProcess>& relay) {
  namespace fs = std::filesystem;
  const auto install = home.root() / "install";
  fs::create_directories(install);
  for (const fs::path& from :
       {fs::path(program), fs::path(program).parent_path() / "Info.json", fs::path(relayDaemon)})
    fs::copy_file(from, install / from.filename(), fs::copy_options::overwrite_existing);
  const auto folder = home.systemRoot() / "etc" / "VantrelMac";
  fs::create_directories(folder);
  std::ofstream(folder / "connection.json") << nlohmann::json{
      {"host", "127.0.0.1"},
      {"port", port},
      {"userID", "e2e"},
      {"connectionNumber", 0}}.dump();
  relay = std::make_unique<ProgramProcess>(
      std::vector<std::string>{(install / fs::path(relayDaemon).filename()).string()},
      ProgramProcess::Options{false, false});
  EXPECT_TRUE(relay->waitForOutput("relay daemon listening at")) << relay->output();
  return std::make_unique<ProgramProcess>(
      std::vector<std::string>{(install / fs::path(program).filename()).string(), "--session-agent"},
      ProgramProcess::Options{true, false});
}

void expectCleanQuit(ProgramProcess& program) {
  // Texts the checkers print when they find something.
  static constexpr const char* checkerReports[] = {
      "AddressSanitizer", "LeakSanitizer", "runtime error:", "ThreadSanitizer",
      "corrupted size",   "double free",   "free(): "};
  program.signal(SIGTERM);
  const auto status = program.waitForExit();
  EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << (status ? *status : -1) << "\n" << program.output();
  for (const auto* report : checkerReports)
    EXPECT_EQ(program.output().find(report), std::string::npos) << report << "\n" << program.output();
}

std::unique_ptr<ProgramProcess> startManagerStandIn(const std::string& standIn,
                                                    const std::filesystem::path& folder,
                                                    const std::string& stepsJSON, const std::string& tag,
                                                    int port, const std::vector<std::string>& extra) {
  std::vector<std::string> arguments{standIn,
                                     "--steps",
                                     stepsJSON,
                                     "--report",
                                     (folder / (tag + ".json")).string(),
                                     "--fetch-dir",
                                     (folder / "fetched").string(),
                                     "--port-file",
                                     (folder / (tag + ".port")).string(),
                                     "--port",
                                     std::to_string(port),
                                     "--serve"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  auto manager = std::make_unique<ProgramProcess>(arguments, ProgramProcess::Options{true, true});
  EXPECT_TRUE(manager->waitForOutput("listening on 127.0.0.1:")) << manager->output();
  return manager;
}

int standInPort(const std::filesystem::path& folder, const std::string& tag) {
  int port = 0;
  std::ifstream(folder / (tag + ".port")) >> port;
  return port;
}

}  // namespace vantrel::testing

#include "Platform/Update/UpdateFrameworkRelaunch.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Support/SystemLog.hpp"

namespace vantrel::update_relaunch {
namespace {

struct State {
  std::mutex mutex;
  std::vector<std::string> arguments;
  std::optional<std::filesystem::path> program;
  std::string build;
};

State& state() {
  static State instance;
  return instance;
}

// Marks every descriptor above standard error close-on-exec (the new program opens its own).
void closeDescriptorsOnExec() {
#ifdef SYS_close_range
  constexpr unsigned closeRangeCloexec = 1u << 2;
  if (::syscall(SYS_close_range, 3u, ~0u, closeRangeCloexec) == 0) return;
#endif
  DIR* folder = ::opendir("/proc/self/fd");
  if (!folder) return;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != own) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::closedir(folder);
}

}  // namespace

void rememberArguments(int argc, char** argv) {
  std::lock_guard lock(state().mutex);
  state().arguments.assign(argv, argv + argc);
}

void request(const std::filesystem::path& program, const std::string& build) {
  std::lock_guard lock(state().mutex);
  state().program = program;
  state().build = build;
}

std::optional<std::filesystem::path> requestedProgram() {
  std::lock_guard lock(state().mutex);
  return state().program;
}

void clearRequest() {
  std::lock_guard lock(state().mutex);
  state().program.reset();
}

void relaunchIfRequested() {
  std::vector<std::string> arguments;
  std::filesystem::path program;
  std::string build;
  {
    std::lock_guard lock(state().mutex);
    if (!state().program) return;
    program = *state().program;
    build = state().build;
    arguments = state().arguments;
  }
  if (arguments.empty()) arguments.push_back(program.string());
  arguments.front() = program.string();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ::setenv(installedBuildVariable, build.c_str(), 1);
  SystemLog("local.vantrel.VantrelMac", "update")
      .notice("VantrelMac update relaunching {} for build {}", program.string(), build);
  closeDescriptorsOnExec();
  ::execv(program.c_str(), argv.data());
  const int code = errno;
  ::unsetenv(installedBuildVariable);
  SystemLog("local.vantrel.VantrelMac", "update").error("VantrelMac update relaunch failed (errno {})", code);
}

std::optional<std::string> takeInstalledBuild() {
  const char* value = std::getenv(installedBuildVariable);
  if (!value) return std::nullopt;
  std::string build(value);
  ::unsetenv(installedBuildVariable);
  return build;
}

}  // namespace vantrel::update_relaunch

#include "Session/MacSystemCommandExecutor.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include <fmt/format.h>

extern char** environ;

namespace vantrel {

std::optional<std::string> SystemCommandLaunchError::errorDescription() const {
  return fmt::format("The restart command \u201C{}\u201D could not be launched: {}", executable_,
                     std::strerror(errorNumber_));
}

void MacSystemCommandExecutor::requestReboot() {
  if (restartCommand_.empty() || restartCommand_.front().empty()) {
    throw SystemCommandLaunchError("", ENOENT);
  }
  std::vector<char*> argv;
  argv.reserve(restartCommand_.size() + 1);
  for (auto& argument : restartCommand_) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  // glibc reports a failed exec of the child as the result of posix_spawnp.
  const int result = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (result != 0) throw SystemCommandLaunchError(restartCommand_.front(), result);

  // Collect the child whenever it ends, without holding up the caller.
  try {
    std::thread([pid, observer = onReaped_] {
      int status = 0;
      pid_t reaped = -1;
      do {
        reaped = ::waitpid(pid, &status, 0);
      } while (reaped < 0 && errno == EINTR);
      if (observer && reaped == pid) observer(pid, status);
    }).detach();
  } catch (const std::system_error&) {
    // The request was handed to the system; only the collection of its exit is lost.
  }
}

}  // namespace vantrel

#include "Session/MacSystemCommandExecutor.hpp"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

extern char** environ;

namespace vantrel {

std::optional<std::string> SystemCommandLaunchError::errorDescription() const {
  return fmt::format("The restart command \u201C{}\u201D could not be launched: {}", executable_,
                     std::strerror(errorNumber_));
}

namespace {

// Waits for `pid` to end and collects it; returns its wait status, or -1 when the pool began to
// stop first (a restart command that hangs must not hold up the shutdown).
int reapChild(pid_t pid, const BlockingPool& pool) {
  const int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (descriptor >= 0) {
    for (;;) {
      pollfd ready{descriptor, POLLIN, 0};
      const int result = ::poll(&ready, 1, 250);
      if (result > 0) break;
      if (pool.stopRequested()) {
        ::close(descriptor);
        return -1;
      }
    }
    ::close(descriptor);
  }
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped == pid ? status : -1;
}

}  // namespace

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

  // Collect the child whenever it ends, without holding up the caller. If the pool is
  // stopping, the child is left to the process's exit.
  (void)reaper_->post([pid, observer = onReaped_, pool = reaper_] {
    const int status = reapChild(pid, *pool);
    if (observer && status >= 0) observer(pid, status);
  });
}

}  // namespace vantrel

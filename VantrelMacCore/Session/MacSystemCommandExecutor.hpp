#pragma once

// Restarting the machine on the manager's request.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Support/Blocking.hpp"
#include "Support/Error.hpp"

namespace vantrel {

class SystemCommandExecuting {
 public:
  virtual ~SystemCommandExecuting() = default;
  // Hands the restart request to the system and returns without waiting for the restart.
  // Throws when the request cannot be issued. Callable from any thread.
  virtual void requestReboot() = 0;
};

// The restart command could not be started.
class SystemCommandLaunchError : public Error {
 public:
  SystemCommandLaunchError(std::string executable, int errorNumber)
      : executable_(std::move(executable)), errorNumber_(errorNumber) {}

  const std::string& executable() const noexcept { return executable_; }
  int errorNumber() const noexcept { return errorNumber_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "NSPOSIXErrorDomain"; }
  int errorCode() const override { return errorNumber_; }

 private:
  std::string executable_;
  int errorNumber_;
};

// Launches the configured restart command (by default `systemctl reboot`) and returns at once.
// The command's exit is collected on the blocking pool so that no zombie is left; its status is
// not looked at (a restart refused later by the system is not reported). A pool that stops
// before the command ends leaves its collection to the process's exit.
class MacSystemCommandExecutor final : public SystemCommandExecuting {
 public:
  // Called on a pool thread once the launched process has been collected (tests).
  using ReapObserver = std::function<void(pid_t pid, int waitStatus)>;

  static std::vector<std::string> defaultRestartCommand() { return {"systemctl", "reboot"}; }

  // The executable (first element) is looked up in PATH when it holds no slash. `reaper` must
  // outlive the executor (the runtime's pool does).
  explicit MacSystemCommandExecutor(BlockingPool& reaper,
                                    std::vector<std::string> restartCommand = defaultRestartCommand(),
                                    ReapObserver onReaped = {})
      : reaper_(&reaper), restartCommand_(std::move(restartCommand)), onReaped_(std::move(onReaped)) {}

  const std::vector<std::string>& restartCommand() const noexcept { return restartCommand_; }

  void requestReboot() override;

 private:
  BlockingPool* reaper_;
  std::vector<std::string> restartCommand_;
  ReapObserver onReaped_;
};

}  // namespace vantrel

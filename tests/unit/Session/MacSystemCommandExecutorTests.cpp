#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Session/MacSystemCommandExecutor.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

BlockingPool pool(1);

TEST(MacSystemCommandExecutor, DefaultCommandIsSystemctlReboot) {
  // Only inspected, never run.
  const MacSystemCommandExecutor executor(pool);
  EXPECT_EQ(executor.restartCommand(), (std::vector<std::string>{"systemctl", "reboot"}));
}

TEST(MacSystemCommandExecutor, LaunchesWithoutWaitingAndReapsTheChild) {
  std::promise<std::pair<pid_t, int>> reaped;
  auto future = reaped.get_future();
  // A harmless stand-in for the restart command, with an exit status the reaper can see.
  MacSystemCommandExecutor executor(pool, {"/bin/sh", "-c", "exit 3"}, [&](pid_t pid, int status) {
    reaped.set_value({pid, status});
  });
  executor.requestReboot();
  ASSERT_EQ(future.wait_for(testing::hangGuard), std::future_status::ready);
  const auto [pid, status] = future.get();
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);  // the exit status is collected but not reported
  // Already collected: no zombie is left behind.
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(MacSystemCommandExecutor, ExecutableIsLookedUpInPath) {
  std::promise<int> reaped;
  auto future = reaped.get_future();
  MacSystemCommandExecutor executor(pool, {"true"}, [&](pid_t, int status) { reaped.set_value(status); });
  executor.requestReboot();
  ASSERT_EQ(future.wait_for(testing::hangGuard), std::future_status::ready);
  EXPECT_EQ(future.get(), 0);
}

TEST(MacSystemCommandExecutor, LaunchFailureIsThrown) {
  MacSystemCommandExecutor missing(pool, {"/nonexistent/vantrel-restart-command"});
  try {
    missing.requestReboot();
    FAIL() << "expected a launch error";
  } catch (const SystemCommandLaunchError& e) {
    EXPECT_EQ(e.errorNumber(), ENOENT);
    EXPECT_EQ(e.executable(), "/nonexistent/vantrel-restart-command");
    EXPECT_NE(localizedDescription(e).find("/nonexistent/vantrel-restart-command"), std::string::npos);
  }
  MacSystemCommandExecutor empty(pool, std::vector<std::string>{});
  EXPECT_THROW(empty.requestReboot(), SystemCommandLaunchError);
}

}  // namespace
}  // namespace vantrel

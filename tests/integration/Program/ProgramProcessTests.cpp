#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include "Model/Agent/RunMode.hpp"
#include "Model/Settings/InfoDictionary.hpp"
#include "support/ChildProcess.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

const fs::path programPath = VANTREL_MAC_EXECUTABLE;

// The real program, started with a private HOME, no display and its standard error captured.
class Program : public testing::ProgramProcess {
 public:
  explicit Program(std::vector<std::string> arguments) : ProgramProcess(std::move(arguments)) {}
};

using testing::exitedWith;

TEST(Program, DiagnosticsWithAnInvalidEndpointEndsByItselfWithTheLogLine) {
  testing::TemporaryHome home;
  Program program(
      {programPath.string(), "--ai-diagnostics-test", "--test-host", "10.0.0.1", "--test-port", "1"});
  const auto status = program.waitForExit();
  // Status 2: a run that never started is told apart from a failed (1) and a good (0) one.
  EXPECT_TRUE(exitedWith(status, 2)) << program.output();
  EXPECT_NE(program.output().find("AI_DIAGNOSTICS invalid explicit QA endpoint"), std::string::npos)
      << program.output();
  // The entry itself logs nothing in this mode.
  EXPECT_EQ(program.output().find("VantrelMac main started"), std::string::npos) << program.output();
}

TEST(Program, SessionAgentStartsWithoutADisplayAndLogsItsStartLine) {
  testing::TemporaryHome home;
  const std::vector<std::string> arguments{programPath.string(), "--session-agent", "it's \"quoted\""};
  Program program(arguments);
  ASSERT_TRUE(program.waitForOutput(mainStartedLogLine(arguments))) << program.output();
  // It keeps running until it is told to stop, and then ends cleanly.
  program.signal(SIGTERM);
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.output();
  EXPECT_EQ(program.output().find("could not connect to display"), std::string::npos) << program.output();
}

// Every program a test starts gets the test's own runtime folder, where the program's
// single-instance socket lies: two tests that run at once never meet each other's instance.
TEST(ProgramEnvironment, AStartedProgramRunsInItsTestsPrivateRuntimeFolder) {
  testing::TemporaryHome home;
  testing::ProgramProcess shell({"/bin/sh", "-c", R"(printf '%s' "$XDG_RUNTIME_DIR")"},
                                testing::ProgramProcess::Options{false, true});
  ASSERT_TRUE(exitedWith(shell.waitForExit(), 0)) << shell.output();
  const fs::path runtime = shell.output();
  ASSERT_FALSE(runtime.empty()) << "no runtime folder";
  EXPECT_EQ(runtime.parent_path(), home.root());
  struct stat status {};
  ASSERT_EQ(::lstat(runtime.c_str(), &status), 0) << runtime;
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_EQ(status.st_uid, ::geteuid());
}

// A test that took the runtime folder away, or pointed it at one that others share or may enter,
// cannot start a program at all.
TEST(ProgramEnvironment, NoProgramStartsWithoutAPrivateRuntimeFolder) {
  testing::TemporaryHome home;
  const auto open = home.root() / "open";
  fs::create_directory(open);
  fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  const auto link = home.root() / "link";
  fs::create_directory_symlink(home.root() / "run", link);
  fs::create_directories(home.path() / "private");
  fs::permissions(home.path() / "private", fs::perms::owner_all, fs::perm_options::replace);
  const std::vector<std::optional<std::string>> runtimes{
      std::nullopt,                               // the program's fallback: one path for the user
      std::string(),                              // the same
      "run",                                      // relative
      "/tmp",                                     // shared by everybody
      open.string(),                              // others may enter
      link.string(),                              // a link to the private folder
      (home.path() / "private").string(),         // private, but not the test's runtime folder
      "/run/user/" + std::to_string(::getuid()),  // the desktop session's own
  };
  for (const auto& runtime : runtimes) {
    SCOPED_TRACE(runtime.value_or("(unset)"));
    testing::ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", runtime);
    EXPECT_THROW(testing::ProgramProcess({"/bin/true"}), std::logic_error);
    EXPECT_THROW(testing::ChildProcess({"/bin/true"}), std::logic_error);
  }
  // The test's own folder, however it is written.
  testing::ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", (home.root() / "." / "run").string());
  testing::ProgramProcess program({"/bin/true"});
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.output();
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <signal.h>

#include "Model/Agent/RunMode.hpp"
#include "Model/Settings/InfoDictionary.hpp"
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

}  // namespace
}  // namespace vantrel

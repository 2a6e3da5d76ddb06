#include <gtest/gtest.h>

#include "Model/Agent/RunMode.hpp"

namespace vantrel {
namespace {

struct ModeCase {
  std::vector<std::string> arguments;
  RunMode mode;
};

class RunModeDecision : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RunModeDecision, ExactElementsDecide) {
  EXPECT_EQ(decideRunMode(GetParam().arguments), GetParam().mode) << describeArguments(GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    RunMode, RunModeDecision,
    ::testing::Values(ModeCase{{"/usr/bin/VantrelMac"}, RunMode::interactive},
                      ModeCase{{}, RunMode::interactive},
                      ModeCase{{"/usr/bin/VantrelMac", "--session-agent"}, RunMode::sessionAgent},
                      ModeCase{{"/usr/bin/VantrelMac", "--ai-diagnostics-test"}, RunMode::diagnosticsTest},
                      ModeCase{{"x", "--session-agent", "--ai-diagnostics-test"}, RunMode::diagnosticsTest},
                      ModeCase{{"x", "--ai-diagnostics-test", "--session-agent"}, RunMode::diagnosticsTest},
                      ModeCase{{"x", "--Session-Agent"}, RunMode::interactive},
                      ModeCase{{"x", "--session-agent=1"}, RunMode::interactive},
                      ModeCase{{"x", " --session-agent"}, RunMode::interactive},
                      ModeCase{{"x", "-session-agent"}, RunMode::interactive},
                      ModeCase{{"x", "--AI-DIAGNOSTICS-TEST", "--session-agent"}, RunMode::sessionAgent},
                      ModeCase{{"x", "--ai-diagnostics-test=yes"}, RunMode::interactive},
                      // The program path is an element like any other.
                      ModeCase{{"--session-agent"}, RunMode::sessionAgent},
                      ModeCase{{"--ai-diagnostics-test", "ALogin"}, RunMode::diagnosticsTest}));

TEST(RunMode, OnlyTheTrayApplicationNeedsWidgets) {
  EXPECT_TRUE(needsWidgets(RunMode::interactive));
  EXPECT_FALSE(needsWidgets(RunMode::sessionAgent));
  EXPECT_FALSE(needsWidgets(RunMode::diagnosticsTest));
}

struct RenderCase {
  std::vector<std::string> arguments;
  const char* text;
};

class ArgumentRendering : public ::testing::TestWithParam<RenderCase> {};

TEST_P(ArgumentRendering, RendersLikeAnArrayOfQuotedStrings) {
  EXPECT_EQ(describeArguments(GetParam().arguments), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(RunMode, ArgumentRendering,
                         ::testing::Values(RenderCase{{}, "[]"}, RenderCase{{""}, R"([""])"},
                                           RenderCase{{"/opt/VantrelMac", "--session-agent"},
                                                      R"(["/opt/VantrelMac", "--session-agent"])"},
                                           RenderCase{{"say \"hi\""}, R"(["say \"hi\""])"},
                                           RenderCase{{"it's"}, R"(["it\'s"])"},
                                           RenderCase{{"a\\b"}, R"(["a\\b"])"},
                                           RenderCase{{"t\tn\nr\r"}, R"(["t\tn\nr\r"])"},
                                           RenderCase{{std::string("nul\0x", 5)}, R"(["nul\0x"])"},
                                           RenderCase{{"\x1B[0m", "\x7F"}, R"(["\u{1b}[0m", "\u{7f}"])"},
                                           RenderCase{{"한국어"}, R"(["한국어"])"}));

TEST(RunMode, ArgumentVectorKeepsEveryElementInOrder) {
  const char* argv[] = {"/bin/VantrelMac", "--session-agent", "", nullptr};
  EXPECT_EQ(argumentVector(3, argv), (std::vector<std::string>{"/bin/VantrelMac", "--session-agent", ""}));
  EXPECT_TRUE(argumentVector(0, argv).empty());
  EXPECT_TRUE(argumentVector(2, nullptr).empty());
}

}  // namespace
}  // namespace vantrel

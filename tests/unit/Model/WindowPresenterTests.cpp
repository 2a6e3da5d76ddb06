#include <gtest/gtest.h>

#include <cstdlib>

#include "Model/Status/WindowPresenter.hpp"
#include "support/FakeStatusModel.hpp"
#include "support/ManualDelayScheduler.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeStatusModel;
using testing::ManualDelayScheduler;

TEST(WindowTitle, DefaultBundleAndOthers) {
  EXPECT_EQ(windowTitle("local.vantrel.VantrelMac"), "VantrelMac");
  EXPECT_EQ(windowTitle(""), "VantrelMac");
  EXPECT_EQ(windowTitle("local.vantrel.VantrelMac.beta"), "VantrelMac \u2014 local.vantrel.VantrelMac.beta");
  EXPECT_EQ(windowTitle("LOCAL.vantrel.VantrelMac"), "VantrelMac \u2014 LOCAL.vantrel.VantrelMac");
}

TEST(AgentNoticeFrame, BottomRightWithMargins) {
  EXPECT_EQ(agentNoticeFrame({0, 0, 1280, 1024}), (PixelRect{912, 914, 350, 92}));
  // A panel at the top of the screen shrinks the available area; the notice follows it.
  EXPECT_EQ(agentNoticeFrame({100, 30, 1820, 1050}), (PixelRect{1552, 970, 350, 92}));
}

TEST(ResizedWindowFrame, KeepsTheCentreAndTheDecorations) {
  // Content 430 × 285 inside a frame with a 30 px title bar and 1 px borders.
  const PixelRect frame{400, 300, 432, 316};
  const auto grown = resizedWindowFrame(frame, {430, 285}, {620, 680});
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->width, 622);
  EXPECT_EQ(grown->height, 711);
  // Whole pixels: the centre moves by at most half a pixel each way.
  EXPECT_LE(std::abs((2 * grown->x + grown->width) - (2 * frame.x + frame.width)), 1);
  EXPECT_LE(std::abs((2 * grown->y + grown->height) - (2 * frame.y + frame.height)), 1);
  const auto back = resizedWindowFrame(*grown, {620, 680}, {430, 285});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width, frame.width);
  EXPECT_EQ(back->height, frame.height);
  EXPECT_LE(std::abs(back->x - frame.x), 1);
  EXPECT_LE(std::abs(back->y - frame.y), 1);
}

TEST(ResizedWindowFrame, GrowingAndShrinkingAgainReturnsToTheSamePlace) {
  struct Case {
    PixelRect frame;
    PixelSize content;
  };
  // The login content in frames with and without decorations (odd and even changes of size), with
  // corners on both sides of the screen's origin.
  const Case cases[] = {
      {{400, 417, 432, 316}, {430, 285}},
      {{-301, -7, 432, 316}, {430, 285}},
      {{1, 1, 430, 285}, {430, 285}},
      {{1552, 970, 431, 284}, {431, 284}},
  };
  for (const auto& [start, small] : cases) {
    const PixelSize large{620, 680};
    PixelRect frame = start;
    for (int cycle = 0; cycle < 6; ++cycle) {
      const auto grown = resizedWindowFrame(frame, small, large);
      ASSERT_TRUE(grown);
      const auto back = resizedWindowFrame(*grown, large, small);
      ASSERT_TRUE(back);
      frame = *back;
    }
    EXPECT_EQ(frame, start) << start.x << "," << start.y << " " << start.width << "x" << start.height
                            << " ended at " << frame.x << "," << frame.y;
  }
}

TEST(ResizedWindowFrame, WithinOnePixelNothingChanges) {
  EXPECT_FALSE(resizedWindowFrame({0, 0, 621, 679}, {621, 679}, {620, 680}));
  EXPECT_FALSE(resizedWindowFrame({0, 0, 620, 680}, {620, 680}, {620, 680}));
  EXPECT_TRUE(resizedWindowFrame({0, 0, 622, 680}, {622, 680}, {620, 680}));
}

// The least move into the work area (here 1920 x 1080 less a 40 px panel at the top), side by
// side; a frame larger than the area starts at its edge.
TEST(KeptInside, MovesTheLeastDistanceIntoTheWorkArea) {
  const PixelRect area{0, 40, 1920, 1040};
  const struct {
    const char* what;
    PixelRect frame;
    PixelRect expected;
  } cases[] = {
      {"inside", {650, 220, 622, 711}, {650, 220, 622, 711}},
      {"touching every edge", {0, 40, 1920, 1040}, {0, 40, 1920, 1040}},
      {"past the right and the bottom", {1386, 593, 622, 711}, {1298, 369, 622, 711}},
      {"past the left and under the panel", {-30, 10, 622, 711}, {0, 40, 622, 711}},
      {"one pixel past the right", {1299, 100, 622, 711}, {1298, 100, 622, 711}},
      {"taller than the area", {100, 500, 622, 1200}, {100, 40, 622, 1200}},
      {"wider than the area, past the left", {-400, 100, 2000, 300}, {0, 100, 2000, 300}},
      {"wider than the area, past the right", {300, 100, 2000, 300}, {0, 100, 2000, 300}},
  };
  for (const auto& c : cases) {
    const PixelRect kept = keptInside(c.frame, area);
    EXPECT_EQ(kept, c.expected) << c.what << ": " << kept.x << "," << kept.y;
  }
  // No area known: the frame stays.
  EXPECT_EQ(keptInside({1386, 593, 622, 711}, {0, 0, 0, 0}), (PixelRect{1386, 593, 622, 711}));
}

TEST(AgentNoticeGate, AtMostOncePerTenSecondsAndExactlyTenAgain) {
  ManualClock clock;
  AgentNoticeGate gate;
  const auto first = gate.show(clock.now());
  ASSERT_TRUE(first);
  clock.advance(5s);
  EXPECT_FALSE(gate.show(clock.now()));
  clock.advance(4999ms);
  EXPECT_FALSE(gate.show(clock.now()));
  clock.advance(1ms);
  const auto second = gate.show(clock.now());
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);
}

TEST(AgentNoticeGate, AnOldHideLeavesTheNewerNoticeAlone) {
  ManualClock clock;
  AgentNoticeGate gate;
  const auto first = gate.show(clock.now());
  clock.advance(10s);
  const auto second = gate.show(clock.now());
  EXPECT_FALSE(gate.hideFired(*first));
  EXPECT_EQ(gate.current(), second);
  EXPECT_TRUE(gate.hideFired(*second));
  EXPECT_FALSE(gate.current());
}

struct PresenterFixture : ::testing::Test, testing::StatusWindowBench {
  int renders = 0;

  void make() {
    makePresenter();
    presenter->addView([this](const StatusViewState&) { ++renders; });
  }
  void signIn() {
    model->change([](StatusViewState& s) {
      s.isAccountAuthenticated = true;
      s.connectionState = DirectAuthState::authenticated;
    });
  }
};

TEST_F(PresenterFixture, SignInSwitchesClosesTheSheetAndHidesAfterTwoTenths) {
  make();
  presenter->openPanelSheet();
  EXPECT_TRUE(presenter->showSettings());
  signIn();
  EXPECT_FALSE(presenter->showSettings());
  EXPECT_TRUE(presenter->showConnectionWindow());
  scheduler.advance(199ms);
  EXPECT_TRUE(host.calls.empty());
  scheduler.advance(1ms);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"install", "orderOut", "notice"}));
}

TEST_F(PresenterFixture, SignInUndoneWithinTheDelayHidesNothing) {
  make();
  signIn();
  scheduler.advance(100ms);
  model->change([](StatusViewState& s) { s.isAccountAuthenticated = false; });
  scheduler.advance(200ms);
  EXPECT_TRUE(host.calls.empty());
  // The panel stays: nothing sets the connection presentation back except its own button.
  EXPECT_TRUE(presenter->showConnectionWindow());
}

TEST_F(PresenterFixture, ConnectionChangesWithoutSignInDoNotSwitch) {
  make();
  for (const auto s :
       {DirectAuthState::connecting, DirectAuthState::authenticated, DirectAuthState::failed}) {
    model->change([s](StatusViewState& st) { st.connectionState = s; });
  }
  EXPECT_FALSE(presenter->showConnectionWindow());
  EXPECT_EQ(scheduler.pending(), 0u);
}

TEST_F(PresenterFixture, EveryConnectionChangeWhileSignedInSwitchesAgain) {
  make();
  signIn();
  scheduler.advance(200ms);
  presenter->closePanel(false);
  EXPECT_FALSE(presenter->showConnectionWindow());
  model->change([](StatusViewState& s) { s.connectionState = DirectAuthState::connecting; });
  EXPECT_TRUE(presenter->showConnectionWindow());
  scheduler.advance(200ms);
  EXPECT_EQ(host.calls.size(), 6u);
}

TEST_F(PresenterFixture, OtherFieldChangesDoNotRunThePresentationUpdate) {
  model->current.isAccountAuthenticated = true;  // already signed in when the window is built
  make();
  model->change([](StatusViewState& s) { s.accountLoginStatus = "x"; });
  EXPECT_FALSE(presenter->showConnectionWindow());
  EXPECT_EQ(scheduler.pending(), 0u);
  EXPECT_GE(renders, 2);
}

TEST_F(PresenterFixture, UserEditsPersistTheirSettingsAndThePasswordNothing) {
  make();
  const std::pair<StatusFormField, const char*> cases[] = {
      {StatusFormField::accountID, "persistAccountLoginSettings"},
      {StatusFormField::requestedClientNumber, "persistAccountLoginSettings"},
      {StatusFormField::setupName, "persistAccountLoginSettings"},
      {StatusFormField::managerHost, "persistConnectionSettings"},
      {StatusFormField::managerPort, "persistConnectionSettings"},
      {StatusFormField::userID, "persistConnectionSettings"},
      {StatusFormField::managerSlot, "persistConnectionSettings"},
  };
  for (const auto& [field, persist] : cases) {
    const int before = model->count(persist);
    presenter->userEditedText(field, "v");
    EXPECT_EQ(model->count(persist), before + 1) << persist;
  }
  const int login = model->count("persistAccountLoginSettings");
  const int connection = model->count("persistConnectionSettings");
  presenter->userEditedText(StatusFormField::accountPassword, "secret");
  EXPECT_EQ(model->count("persistAccountLoginSettings"), login);
  EXPECT_EQ(model->count("persistConnectionSettings"), connection);
  EXPECT_EQ(model->current.accountPassword, "secret");
  presenter->userToggledAutoLogin(false);
  EXPECT_FALSE(model->current.rememberAccountID);
  EXPECT_EQ(model->count("persistAccountLoginSettings"), login + 1);
}

TEST_F(PresenterFixture, ProgrammaticChangesPersistNothing) {
  make();
  model->change([](StatusViewState& s) {
    s.managerHost = "10.0.0.2";
    s.accountID = "someone";
    s.rememberAccountID = false;
  });
  EXPECT_EQ(model->count("persistAccountLoginSettings"), 0);
  EXPECT_EQ(model->count("persistConnectionSettings"), 0);
}

TEST_F(PresenterFixture, SubmissionOnlyWhenLoginIsAllowed) {
  make();
  presenter->submitLogin();
  EXPECT_EQ(model->count("loginAndConnect"), 0);
  model->current.canAccountLogin = true;
  EXPECT_EQ(presenter->returnPressed(LoginScreenPresenter::LoginField::setupName),
            LoginScreenPresenter::ReturnAction::none);
  EXPECT_EQ(model->count("loginAndConnect"), 0);
  presenter->returnPressed(LoginScreenPresenter::LoginField::password);
  EXPECT_EQ(model->count("loginAndConnect"), 1);
}

TEST_F(PresenterFixture, ADestroyedPresenterIgnoresItsPendingHide) {
  make();
  signIn();
  presenter.reset();
  scheduler.advance(1s);
  EXPECT_TRUE(host.calls.empty());
}

}  // namespace
}  // namespace vantrel

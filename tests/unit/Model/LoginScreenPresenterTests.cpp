#include <gtest/gtest.h>

#include "Model/Status/LoginScreenPresenter.hpp"

namespace vantrel {
namespace {

using LoginScreenPresenter::look;

struct ButtonCase {
  bool busy;
  bool authenticated;
  bool canLogin;
  DirectAuthState connection;
  const char* title;
  StatusSymbol symbol;
  bool enabled;
  double opacity;
};

TEST(LoginScreenPresenter, ButtonTitleSymbolEnablingAndOpacity) {
  const ButtonCase cases[] = {
      {false, false, false, DirectAuthState::idle, "LOG IN", StatusSymbol::arrowRightCircleFill, false, 0.62},
      {false, false, true, DirectAuthState::idle, "LOG IN", StatusSymbol::arrowRightCircleFill, true, 1.0},
      {true, false, false, DirectAuthState::connecting, "LOGGING\nIN", StatusSymbol::arrowRightCircleFill,
       false, 1.0},
      {true, true, false, DirectAuthState::authenticated, "LOGGING\nIN", StatusSymbol::checkmarkCircleFill,
       false, 1.0},
      {false, true, true, DirectAuthState::authenticated, "LOG IN\nAGAIN", StatusSymbol::checkmarkCircleFill,
       true, 1.0},
      {false, true, false, DirectAuthState::failed, "LOG IN\nAGAIN", StatusSymbol::arrowRightCircleFill,
       false, 0.62},
      {false, false, false, DirectAuthState::authenticated, "LOG IN", StatusSymbol::checkmarkCircleFill,
       false, 0.62},
  };
  for (const auto& c : cases) {
    StatusViewState state;
    state.isAccountLoginBusy = c.busy;
    state.isAccountAuthenticated = c.authenticated;
    state.canAccountLogin = c.canLogin;
    state.connectionState = c.connection;
    const auto result = look(state);
    SCOPED_TRACE(c.title);
    EXPECT_EQ(result.buttonTitle, c.title);
    EXPECT_EQ(result.buttonSymbol, c.symbol);
    EXPECT_EQ(result.buttonEnabled, c.enabled);
    EXPECT_DOUBLE_EQ(result.buttonOpacity, c.opacity);
    EXPECT_EQ(result.buttonShowsSpinner, c.busy);
  }
}

TEST(LoginScreenPresenter, StatusMessagePrecedence) {
  StatusViewState state;
  state.accountLoginStatus = "Not signed in";
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state), "Not signed in");

  // A manager session without an account sign-in asks for the password once.
  state.connectionState = DirectAuthState::authenticated;
  state.managerConnectionsLabel = "1/3 managers";
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state),
            "Manager connected \u2014 enter account password once for automatic login");

  state.isAccountAuthenticated = true;
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state), "Signed in \u2022 1/3 managers");

  // Signed in, but the manager is not (yet) connected: the model's status line.
  state.connectionState = DirectAuthState::connecting;
  state.accountLoginStatus = "Signed in as a1";
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state), "Signed in as a1");

  // Busy beats the cached-manager text and the signed-in text.
  state.connectionState = DirectAuthState::authenticated;
  state.isAccountAuthenticated = false;
  state.isAccountLoginBusy = true;
  state.accountLoginStatus = "Signing in…";
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state), "Signing in…");

  // An error beats everything.
  state.accountLoginError = "The login server returned HTTP status 500.";
  EXPECT_EQ(LoginScreenPresenter::statusMessage(state), "The login server returned HTTP status 500.");
}

TEST(LoginScreenPresenter, StatusSymbolAndWarningColour) {
  StatusViewState state;
  EXPECT_EQ(look(state).statusSymbol, StatusSymbol::circleDotted);
  EXPECT_FALSE(look(state).statusSymbolWarns);
  state.isAccountAuthenticated = true;
  EXPECT_EQ(look(state).statusSymbol, StatusSymbol::checkmarkCircleFill);
  state.accountLoginError = "x";
  EXPECT_EQ(look(state).statusSymbol, StatusSymbol::exclamationmarkTriangleFill);
  EXPECT_TRUE(look(state).statusSymbolWarns);
  EXPECT_EQ(symbolName(look(state).statusSymbol), "exclamationmark.triangle.fill");
}

TEST(LoginScreenPresenter, PresentationFromAuthenticationAndManager) {
  StatusViewState state;
  EXPECT_EQ(LoginScreenPresenter::presentation(state), AccountLoginPresentation::loginRequired);
  state.connectionState = DirectAuthState::authenticated;
  EXPECT_EQ(LoginScreenPresenter::presentation(state), AccountLoginPresentation::cachedManagerNeedsLogin);
  state.isAccountAuthenticated = true;
  EXPECT_EQ(LoginScreenPresenter::presentation(state), AccountLoginPresentation::accountAuthenticated);
  state.connectionState = DirectAuthState::failed;
  EXPECT_EQ(LoginScreenPresenter::presentation(state), AccountLoginPresentation::accountAuthenticated);
}

TEST(LoginScreenPresenter, ReturnKeyRules) {
  using LoginScreenPresenter::LoginField;
  using LoginScreenPresenter::ReturnAction;
  EXPECT_EQ(LoginScreenPresenter::returnAction(LoginField::account), ReturnAction::focusPassword);
  EXPECT_EQ(LoginScreenPresenter::returnAction(LoginField::password), ReturnAction::submit);
  EXPECT_EQ(LoginScreenPresenter::returnAction(LoginField::setupName), ReturnAction::none);
  EXPECT_EQ(LoginScreenPresenter::returnAction(LoginField::clientNumber), ReturnAction::none);
}

}  // namespace
}  // namespace vantrel

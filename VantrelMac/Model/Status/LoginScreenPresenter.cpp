#include "Model/Status/LoginScreenPresenter.hpp"

namespace vantrel {

std::string_view symbolName(StatusSymbol symbol) noexcept {
  switch (symbol) {
    case StatusSymbol::diamondFill: return "diamond.fill";
    case StatusSymbol::gearshapeFill: return "gearshape.fill";
    case StatusSymbol::checkmarkCircleFill: return "checkmark.circle.fill";
    case StatusSymbol::exclamationmarkTriangleFill: return "exclamationmark.triangle.fill";
    case StatusSymbol::circleDotted: return "circle.dotted";
    case StatusSymbol::arrowRightCircleFill: return "arrow.right.circle.fill";
    case StatusSymbol::display: return "display";
    case StatusSymbol::arrowDownCircle: return "arrow.down.circle";
    case StatusSymbol::exclamationmarkTriangle: return "exclamationmark.triangle";
    case StatusSymbol::testtube2: return "testtube.2";
  }
  return "";
}

namespace LoginScreenPresenter {

AccountLoginPresentation presentation(const StatusViewState& state) noexcept {
  return makeAccountLoginPresentation(state.isAccountAuthenticated,
                                      state.connectionState == DirectAuthState::authenticated);
}

std::string buttonTitle(const StatusViewState& state) {
  if (state.isAccountLoginBusy) return "LOGGING\nIN";
  if (state.isAccountAuthenticated) return "LOG IN\nAGAIN";
  return "LOG IN";
}

StatusSymbol statusSymbol(const StatusViewState& state) noexcept {
  if (state.accountLoginError) return StatusSymbol::exclamationmarkTriangleFill;
  if (state.isAccountAuthenticated) return StatusSymbol::checkmarkCircleFill;
  return StatusSymbol::circleDotted;
}

std::string statusMessage(const StatusViewState& state) {
  if (state.accountLoginError) return *state.accountLoginError;
  if (state.isAccountLoginBusy) return state.accountLoginStatus;
  if (presentation(state) == AccountLoginPresentation::cachedManagerNeedsLogin)
    return std::string(cachedManagerMessage);
  if (state.isAccountAuthenticated && state.connectionState == DirectAuthState::authenticated) {
    return "Signed in \u2022 " + state.managerConnectionsLabel;
  }
  return state.accountLoginStatus;
}

LoginScreenLook look(const StatusViewState& state) {
  LoginScreenLook look;
  const bool managerUp = state.connectionState == DirectAuthState::authenticated;
  look.presentation = presentation(state);
  look.buttonTitle = buttonTitle(state);
  look.buttonShowsSpinner = state.isAccountLoginBusy;
  look.buttonSymbol = managerUp ? StatusSymbol::checkmarkCircleFill : StatusSymbol::arrowRightCircleFill;
  look.buttonEnabled = state.canAccountLogin;
  look.buttonOpacity = (state.canAccountLogin || state.isAccountLoginBusy) ? 1.0 : 0.62;
  look.statusSymbol = statusSymbol(state);
  look.statusSymbolWarns = state.accountLoginError.has_value();
  look.statusMessage = statusMessage(state);
  look.connectionDotOnline = managerUp;
  look.connectionDotText = managerUp ? state.managerConnectionsLabel : "Offline";
  look.permissionLinkShown =
      !(state.permissions.screenRecordingGranted && state.permissions.accessibilityTrusted);
  return look;
}

ReturnAction returnAction(LoginField field) noexcept {
  switch (field) {
    case LoginField::account: return ReturnAction::focusPassword;
    case LoginField::password: return ReturnAction::submit;
    case LoginField::setupName:
    case LoginField::clientNumber: return ReturnAction::none;
  }
  return ReturnAction::none;
}

bool shouldSubmit(const StatusViewState& state) noexcept { return state.canAccountLogin; }

}  // namespace LoginScreenPresenter
}  // namespace vantrel

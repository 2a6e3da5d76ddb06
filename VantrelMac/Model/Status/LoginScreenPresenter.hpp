#pragma once

// What the login screen shows, decided from the model's state alone. The widgets only render
// these values; every rule of the screen is here and tested without a display.

#include <string>
#include <string_view>

#include "Account/AccountLoginTypes.hpp"
#include "Model/Status/StatusViewPort.hpp"

namespace vantrel {

// The system symbols the windows paint.
enum class StatusSymbol {
  diamondFill,
  gearshapeFill,
  checkmarkCircleFill,
  exclamationmarkTriangleFill,
  circleDotted,
  arrowRightCircleFill,
  display,
  arrowDownCircle,
  exclamationmarkTriangle,
  testtube2,
};

std::string_view symbolName(StatusSymbol symbol) noexcept;

struct LoginScreenLook {
  AccountLoginPresentation presentation = AccountLoginPresentation::loginRequired;
  std::string buttonTitle;  // one or two lines joined by '\n'
  bool buttonShowsSpinner = false;
  StatusSymbol buttonSymbol = StatusSymbol::arrowRightCircleFill;
  bool buttonEnabled = false;
  double buttonOpacity = 0.62;
  StatusSymbol statusSymbol = StatusSymbol::circleDotted;
  bool statusSymbolWarns = false;  // drawn yellow instead of white
  std::string statusMessage;
  bool connectionDotOnline = false;  // green dot and the managers label
  std::string connectionDotText;
  bool permissionLinkShown = false;
};

namespace LoginScreenPresenter {

AccountLoginPresentation presentation(const StatusViewState& state) noexcept;
std::string buttonTitle(const StatusViewState& state);
StatusSymbol statusSymbol(const StatusViewState& state) noexcept;
std::string statusMessage(const StatusViewState& state);
LoginScreenLook look(const StatusViewState& state);

// Return in the ID field moves focus to PASSWORD; Return in PASSWORD submits; the other two
// fields ignore it.
enum class LoginField { account, password, setupName, clientNumber };
enum class ReturnAction { none, focusPassword, submit };
ReturnAction returnAction(LoginField field) noexcept;

// The submission runs only while the model allows a login.
bool shouldSubmit(const StatusViewState& state) noexcept;

inline constexpr std::string_view cachedManagerMessage =
    "Manager connected \u2014 enter account password once for automatic login";
inline constexpr std::string_view gearToolTip = "권한, 업데이트, 연결 상태와 로그";
inline constexpr std::string_view gearAccessibleName = "환경설정 열기";
inline constexpr std::string_view autoLoginToolTip =
    "Save an encrypted login file in your home folder for automatic sign-in. No password prompt; "
    "files readable as your user can be decrypted.";
inline constexpr std::string_view permissionLinkText = "권한 설정 필요";

}  // namespace LoginScreenPresenter
}  // namespace vantrel

#include "ShotModel.hpp"

#include <fmt/format.h>

namespace vantrel::shots {

StatusViewPort::Subscription ShotModel::subscribe(std::function<void()> onChange) {
  auto holder = std::make_shared<std::function<void()>>(std::move(onChange));
  subscribers_.push_back(holder);
  return holder;
}

void ShotModel::change(const std::function<void(StatusViewState&)>& mutate) {
  mutate(state_);
  for (const auto& weak : subscribers_) {
    if (const auto strong = weak.lock()) (*strong)();
  }
}

StatusViewState emptyLogin() {
  StatusViewState state;
  state.permissions = {true, false};
  state.displays = {{1, 1280, 1024, "", true}};
  state.displayCountLabel = "1 display";
  return state;
}

StatusViewState busyLogin() {
  StatusViewState state = emptyLogin();
  state.accountID = "vantrel-demo";
  state.accountPassword = "password";
  state.isAccountLoginBusy = true;
  state.accountLoginStatus = "Signing in to the Vantrel login server…";
  return state;
}

StatusViewState failedLogin() {
  StatusViewState state = emptyLogin();
  state.accountID = "vantrel-demo";
  state.accountPassword = "password";
  state.canAccountLogin = true;
  state.accountLoginError = "The login server returned HTTP status 401.";
  return state;
}

StatusViewState signedInConnecting() {
  StatusViewState state = busyLogin();
  state.accountPassword.clear();
  state.isAccountLoginBusy = false;
  state.isAccountAuthenticated = true;
  state.accountLoginStatus = "Signed in \u2014 connecting through server route";
  state.connectionState = DirectAuthState::connecting;
  state.connectionStateLabel = "Connecting";
  return state;
}

StatusViewState signedIn() {
  StatusViewState state = emptyLogin();
  state.permissions = {true, true};
  state.accountID = "vantrel-demo";
  state.accountPassword = "password";
  state.canAccountLogin = true;
  state.isAccountAuthenticated = true;
  state.accountLoginStatus = "Signed in as vantrel-demo";
  state.connectionState = DirectAuthState::authenticated;
  state.connectionStateLabel = "Connected to Manager";
  state.canConnect = false;
  state.canDisconnect = true;
  state.managerConnectionsLabel = "2/2 managers";
  state.managerHost = "192.168.10.20";
  state.userID = "vantrel-demo";
  state.managerSlotText = "3";
  return state;
}

StatusViewState withLog(StatusViewState state, int lines) {
  const auto start = std::chrono::system_clock::now() - std::chrono::seconds(lines);
  for (int i = 0; i < lines; ++i) {
    state.diagnosticLog.push_back(
        {Uuid::random(), start + std::chrono::seconds(i),
         fmt::format("Connection state poll {}: 2/2 managers authenticated", i + 1)});
  }
  state.diagnosticLogScrollToken = Uuid::random();
  return state;
}

}  // namespace vantrel::shots

#include "Model/Status/StatusViewPort.hpp"

#include <fmt/format.h>

#include "Support/Text.hpp"

namespace vantrel {

void StatusViewState::derive() {
  using enum DirectAuthState;
  connectionStateLabel = std::string(displayName(connectionState));
  canAccountLogin = !isAccountLoginBusy && !text::isBlank(accountID) && !accountPassword.empty();
  canConnect = !isConnectionBusy &&
               (connectionState == idle || connectionState == disconnected || connectionState == failed);
  canDisconnect = connectionState == connecting || connectionState == authenticating ||
                  connectionState == authenticated || connectionState == disconnecting;
  const auto n = displays.size();
  displayCountLabel = n == 0 ? "0" : n == 1 ? "1 display" : fmt::format("{} displays", n);
}

}  // namespace vantrel

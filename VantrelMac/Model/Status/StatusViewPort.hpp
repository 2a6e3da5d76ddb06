#pragma once

// The narrow face of the status model that the status window binds to: the one state the model
// holds, one change signal, the form setters and the operations its controls call. The status
// model implements it; the window's tests use a scripted fake.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Input/PermissionStatus.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Screen/DisplayInfo.hpp"
#include "Session/DirectAuthTypes.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {

using StatusLogLine = DiagnosticLogEntry;

// What the status model publishes: its fields and the values derived from them.
struct StatusViewState {
  PermissionSnapshot permissions;
  std::vector<DisplayInfo> displays;
  std::optional<std::string> displayError;
  bool isRefreshingDisplays = false;
  std::optional<std::chrono::system_clock::time_point> lastRefresh;
  std::string accountID;
  std::string accountPassword;
  std::string requestedClientNumberText = "0";
  std::string setupName = "Mac";
  bool rememberAccountID = true;
  std::string accountLoginStatus = "Not signed in";
  std::optional<std::string> accountLoginError;
  bool isAccountLoginBusy = false;
  bool isAccountAuthenticated = false;
  std::string managerHost;
  std::string managerPortText = "65333";
  std::string userID;
  std::string managerSlotText = "1";
  DirectAuthState connectionState = DirectAuthState::idle;
  std::optional<std::string> connectionError;
  bool isConnectionBusy = false;
  std::string managerConnectionsLabel = "0/1 managers";
  // What this desktop answered when the user pressed a grant's "Request…" or "Open Settings":
  // nothing until then. The desktop has neither prompts nor settings panes for the grants.
  std::optional<std::string> screenRecordingNote;
  std::optional<std::string> accessibilityNote;
  // Oldest first, at most 300; the scroll token is renewed by every append and by a clear.
  std::deque<StatusLogLine> diagnosticLog;
  Uuid diagnosticLogScrollToken;

  // Derived by the model from the fields above after every change.
  std::string connectionStateLabel = "Idle";
  bool canAccountLogin = false;
  bool canConnect = true;
  bool canDisconnect = false;
  std::string displayCountLabel = "0";

  // Sets the derived values from the fields: the state label, what the buttons allow and the
  // display count.
  void derive();

  friend bool operator==(const StatusViewState&, const StatusViewState&) = default;
};

// The text fields of the two forms.
enum class StatusFormField {
  accountID,
  accountPassword,
  requestedClientNumber,
  setupName,
  managerHost,
  managerPort,
  userID,
  managerSlot,
};

class StatusViewPort {
 public:
  using Subscription = std::shared_ptr<void>;

  virtual ~StatusViewPort() = default;

  virtual const StatusViewState& state() const = 0;
  // Called after every change of the state, even one that leaves it equal; dropping the result
  // unsubscribes.
  [[nodiscard]] virtual Subscription subscribe(std::function<void()> onChange) = 0;

  virtual void setText(StatusFormField field, const std::string& value) = 0;
  virtual void setRememberAccountID(bool value) = 0;

  virtual void start() = 0;
  virtual void stop() = 0;
  // True while a session that `stop()` closes is still closing (its screen stream and input not
  // yet ended). The quit path waits for this before it lets the application's objects go.
  virtual bool hasClosingSessions() const { return false; }
  virtual void refreshDisplays() = 0;  // starts the refresh; results arrive through the signal
  virtual void loginAndConnect() = 0;
  virtual void connect() = 0;
  virtual void disconnect() = 0;
  virtual void copyDiagnosticLog() = 0;
  virtual void clearDiagnosticLog() = 0;
  virtual void persistAccountLoginSettings() = 0;
  virtual void persistConnectionSettings() = 0;
  virtual void requestScreenRecording() = 0;
  virtual void requestAccessibility() = 0;
  virtual void openScreenRecordingSettings() = 0;
  virtual void openAccessibilitySettings() = 0;
  virtual void requestStartupAutomaticLogin() = 0;
};

}  // namespace vantrel

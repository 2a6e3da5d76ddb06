#pragma once

// A status model that holds one scene's state and does nothing: the windows render it as they
// would render the real model's.

#include <functional>
#include <memory>
#include <vector>

#include "Model/Status/StatusViewPort.hpp"

namespace vantrel::shots {

class ShotModel final : public StatusViewPort {
 public:
  explicit ShotModel(StatusViewState state) : state_(std::move(state)) {}

  const StatusViewState& state() const override { return state_; }
  Subscription subscribe(std::function<void()> onChange) override;
  void change(const std::function<void(StatusViewState&)>& mutate);

  void setText(StatusFormField, const std::string&) override {}
  void setRememberAccountID(bool) override {}
  void start() override {}
  void stop() override {}
  void refreshDisplays() override {}
  void loginAndConnect() override {}
  void connect() override {}
  void disconnect() override {}
  void copyDiagnosticLog() override {}
  void clearDiagnosticLog() override {}
  void persistAccountLoginSettings() override {}
  void persistConnectionSettings() override {}
  void requestScreenRecording() override {}
  void requestAccessibility() override {}
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
  void requestStartupAutomaticLogin() override {}

 private:
  StatusViewState state_;
  std::vector<std::weak_ptr<std::function<void()>>> subscribers_;
};

// The scenes' states.
StatusViewState emptyLogin();
StatusViewState busyLogin();
StatusViewState failedLogin();
StatusViewState signedIn();
// Signed in at the login server, the manager not yet reached.
StatusViewState signedInConnecting();
StatusViewState withLog(StatusViewState state, int lines);

}  // namespace vantrel::shots

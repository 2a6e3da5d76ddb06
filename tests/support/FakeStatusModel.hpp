#pragma once

// A scripted status model for the window's tests: holds a state the test sets, counts every
// operation the window calls, and announces changes like the real model.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Model/Status/StatusViewPort.hpp"
#include "Model/Status/WindowPresenter.hpp"
#include "support/ManualDelayScheduler.hpp"

namespace vantrel::testing {

class FakeStatusModel final : public StatusViewPort {
 public:
  StatusViewState current;
  std::map<std::string, int> calls;
  std::vector<std::pair<StatusFormField, std::string>> edits;

  const StatusViewState& state() const override { return current; }

  Subscription subscribe(std::function<void()> onChange) override {
    auto holder = std::make_shared<std::function<void()>>(std::move(onChange));
    subscribers_.push_back(holder);
    return holder;
  }

  // Changes the state and tells the subscribers, as a published field would.
  template <typename F>
  void change(F&& mutate) {
    mutate(current);
    publish();
  }

  void publish() {
    auto subscribers = subscribers_;
    for (const auto& weak : subscribers) {
      if (const auto strong = weak.lock()) (*strong)();
    }
  }

  int count(const std::string& name) const {
    const auto it = calls.find(name);
    return it == calls.end() ? 0 : it->second;
  }

  void setText(StatusFormField field, const std::string& value) override {
    edits.emplace_back(field, value);
    switch (field) {
      case StatusFormField::accountID: current.accountID = value; break;
      case StatusFormField::accountPassword: current.accountPassword = value; break;
      case StatusFormField::requestedClientNumber: current.requestedClientNumberText = value; break;
      case StatusFormField::setupName: current.setupName = value; break;
      case StatusFormField::managerHost: current.managerHost = value; break;
      case StatusFormField::managerPort: current.managerPortText = value; break;
      case StatusFormField::userID: current.userID = value; break;
      case StatusFormField::managerSlot: current.managerSlotText = value; break;
    }
    // The real model derives this one; the fake follows the same rule.
    current.canAccountLogin = !current.isAccountLoginBusy &&
                              current.accountID.find_first_not_of(" \t\n") != std::string::npos &&
                              !current.accountPassword.empty();
    publish();
  }
  void setRememberAccountID(bool value) override {
    current.rememberAccountID = value;
    ++calls["setRememberAccountID"];
    publish();
  }

  void start() override { ++calls["start"]; }
  void stop() override { ++calls["stop"]; }
  void refreshDisplays() override { ++calls["refreshDisplays"]; }
  void loginAndConnect() override { ++calls["loginAndConnect"]; }
  void connect() override { ++calls["connect"]; }
  void disconnect() override { ++calls["disconnect"]; }
  void copyDiagnosticLog() override { ++calls["copyDiagnosticLog"]; }
  void clearDiagnosticLog() override {
    ++calls["clearDiagnosticLog"];
    current.diagnosticLog.clear();
    current.diagnosticLogScrollToken = Uuid::random();
    publish();
  }
  void persistAccountLoginSettings() override { ++calls["persistAccountLoginSettings"]; }
  void persistConnectionSettings() override { ++calls["persistConnectionSettings"]; }
  void requestScreenRecording() override { ++calls["requestScreenRecording"]; }
  void requestAccessibility() override { ++calls["requestAccessibility"]; }
  void openScreenRecordingSettings() override { ++calls["openScreenRecordingSettings"]; }
  void openAccessibilitySettings() override { ++calls["openAccessibilitySettings"]; }
  void requestStartupAutomaticLogin() override { ++calls["requestStartupAutomaticLogin"]; }

 private:
  std::vector<std::weak_ptr<std::function<void()>>> subscribers_;
};

// The window controller's side of the status window: records what the window asked of it.
class RecordingWindowHost final : public StatusWindowHost {
 public:
  std::vector<std::string> calls;
  void installStatusItemIfNeeded() override { calls.emplace_back("install"); }
  void orderOutMainWindow() override { calls.emplace_back("orderOut"); }
  void showAgentNoticeIfNeeded() override { calls.emplace_back("notice"); }
};

// What every test of the status window starts from: the manual clock and its delays, a scripted
// model, a recording host, and the window's presenter over them (made by `makePresenter`).
struct StatusWindowBench {
  ManualClock clock;
  ManualDelayScheduler scheduler{clock};
  std::shared_ptr<FakeStatusModel> model = std::make_shared<FakeStatusModel>();
  RecordingWindowHost host;
  std::unique_ptr<StatusWindowPresenter> presenter;

  StatusWindowPresenter& makePresenter() {
    presenter = std::make_unique<StatusWindowPresenter>(model, host, scheduler);
    return *presenter;
  }
};

}  // namespace vantrel::testing

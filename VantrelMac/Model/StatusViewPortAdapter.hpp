#pragma once

// The status model as the status window sees it.

#include <memory>

#include "Model/StatusViewPort.hpp"
#include "Model/StatusWindowViewModel.hpp"
#include "Support/Async.hpp"

namespace vantrel {

class StatusWindowViewModelPort final : public StatusViewPort {
 public:
  // `mainExecutor` runs the model's asynchronous operations (the display refresh).
  StatusWindowViewModelPort(std::shared_ptr<StatusWindowViewModel> model, Executor mainExecutor);

  StatusViewState state() const override;
  Subscription subscribe(std::function<void()> onChange) override;

  void setText(StatusFormField field, const std::string& value) override;
  void setRememberAccountID(bool value) override { model_->setRememberAccountID(value); }

  void start() override { model_->start(); }
  void stop() override { model_->stop(); }
  void refreshDisplays() override;
  void loginAndConnect() override { model_->loginAndConnect(); }
  void connect() override { model_->connect(); }
  void disconnect() override { model_->disconnect(); }
  void copyDiagnosticLog() override { model_->copyDiagnosticLog(); }
  void clearDiagnosticLog() override { model_->clearDiagnosticLog(); }
  void persistAccountLoginSettings() override { model_->persistAccountLoginSettings(); }
  void persistConnectionSettings() override { model_->persistConnectionSettings(); }
  void requestScreenRecording() override { model_->requestScreenRecording(); }
  void requestAccessibility() override { model_->requestAccessibilityAccess(); }
  void openScreenRecordingSettings() override { model_->openScreenRecordingSettings(); }
  void openAccessibilitySettings() override { model_->openAccessibilitySettings(); }
  void requestStartupAutomaticLogin() override { model_->requestStartupAutomaticLogin(); }

  const std::shared_ptr<StatusWindowViewModel>& model() const noexcept { return model_; }

 private:
  std::shared_ptr<StatusWindowViewModel> model_;
  Executor mainExecutor_;
};

}  // namespace vantrel

#include "Model/StatusViewPortAdapter.hpp"

#include <utility>

namespace vantrel {

StatusWindowViewModelPort::StatusWindowViewModelPort(std::shared_ptr<StatusWindowViewModel> model,
                                                     Executor mainExecutor)
    : model_(std::move(model)), mainExecutor_(std::move(mainExecutor)) {}

StatusViewState StatusWindowViewModelPort::state() const {
  const StatusWindowViewModel& m = *model_;
  StatusViewState s;
  s.permissions = m.permissions();
  s.displays = m.displays();
  s.accountID = m.accountID();
  s.accountPassword = m.accountPassword();
  s.requestedClientNumberText = m.requestedClientNumberText();
  s.setupName = m.setupName();
  s.rememberAccountID = m.rememberAccountID();
  s.accountLoginStatus = m.accountLoginStatus();
  s.accountLoginError = m.accountLoginError();
  s.isAccountLoginBusy = m.isAccountLoginBusy();
  s.isAccountAuthenticated = m.isAccountAuthenticated();
  s.managerHost = m.managerHost();
  s.managerPortText = m.managerPortText();
  s.userID = m.userID();
  s.managerSlotText = m.managerSlotText();
  s.connectionState = m.connectionState();
  s.connectionError = m.connectionError();
  s.isConnectionBusy = m.isConnectionBusy();
  s.managerConnectionsLabel = m.managerConnectionsLabel();
  s.diagnosticLog.assign(m.diagnosticLog().begin(), m.diagnosticLog().end());
  s.diagnosticLogScrollToken = m.diagnosticLogScrollToken();
  s.connectionStateLabel = m.connectionStateLabel();
  s.canAccountLogin = m.canAccountLogin();
  s.canConnect = m.canConnect();
  s.canDisconnect = m.canDisconnect();
  s.displayCountLabel = m.displayCountLabel();
  return s;
}

StatusViewPort::Subscription StatusWindowViewModelPort::subscribe(std::function<void()> onChange) {
  const auto id =
      model_->subscribe([onChange = std::move(onChange)](StatusWindowViewModel::Field) { onChange(); });
  std::weak_ptr<StatusWindowViewModel> weak = model_;
  // Dropping the subscription unsubscribes, unless the model is already gone.
  return std::shared_ptr<void>(nullptr, [weak, id](void*) {
    if (const auto model = weak.lock()) model->unsubscribe(id);
  });
}

void StatusWindowViewModelPort::setText(StatusFormField field, const std::string& value) {
  switch (field) {
    case StatusFormField::accountID: model_->setAccountID(value); break;
    case StatusFormField::accountPassword: model_->setAccountPassword(value); break;
    case StatusFormField::requestedClientNumber: model_->setRequestedClientNumberText(value); break;
    case StatusFormField::setupName: model_->setSetupName(value); break;
    case StatusFormField::managerHost: model_->setManagerHost(value); break;
    case StatusFormField::managerPort: model_->setManagerPortText(value); break;
    case StatusFormField::userID: model_->setUserID(value); break;
    case StatusFormField::managerSlot: model_->setManagerSlotText(value); break;
  }
}

void StatusWindowViewModelPort::refreshDisplays() {
  spawnTask(mainExecutor_, model_->refreshDisplays(), "refresh displays");
}

}  // namespace vantrel

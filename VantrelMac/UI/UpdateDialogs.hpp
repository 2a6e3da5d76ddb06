#pragma once

// The standard user driver's dialogs as Qt widgets: update found, download progress, ready to
// install, and notices. Every dialog is non-modal: the call returns at once and the reply comes
// when the user answers (closing a dialog counts as "later"); each reply runs exactly once.

#include <memory>
#include <vector>

#include "Platform/UpdateFramework.hpp"

class QMessageBox;
class QProgressDialog;
class QWidget;

namespace vantrel {

class QtUpdateDialogPresenter : public UpdateDialogPresenting {
 public:
  QtUpdateDialogPresenter();
  ~QtUpdateDialogPresenter() override;

  void showUpdateFound(const AppcastItem& item, std::function<void(UpdateFoundChoice)> reply) override;
  void showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                            std::function<void()> cancel) override;
  void showReadyToInstall(const AppcastItem& item, std::function<void(ReadyToInstallChoice)> reply) override;
  void showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                  std::function<void()> acknowledgement) override;
  void dismissAll() override;

  // The dialogs on screen (tests and screenshots).
  std::vector<QWidget*> openDialogs() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vantrel

#pragma once

// The updater's user driver whose three notices (an error, no update found, installed) never
// block: each is shown as a non-modal notice, at most one at a time, and acknowledged when the
// user presses "확인". Errors are also handed to the controller through `onError`.

#include <functional>
#include <memory>

#include "Platform/Update/UpdateFramework.hpp"

namespace vantrel {

class NonblockingUpdateUserDriver : public StandardUserDriver {
 public:
  explicit NonblockingUpdateUserDriver(std::shared_ptr<UpdateDialogPresenting> presenter);
  ~NonblockingUpdateUserDriver() override;

  std::function<void(const UpdaterError&)> onError;

  void showUpdaterError(const UpdaterError& error, std::function<void()> acknowledgement) override;
  void showUpdateNotFound(const UpdaterError& error, std::function<void()> acknowledgement) override;
  void showUpdateInstalledAndRelaunched(bool relaunched, std::function<void()> acknowledgement) override;

  bool isPresentingNotice() const noexcept { return *noticeOpen_; }

 private:
  void presentNotice(const std::string& title, const std::string& text,
                     UpdateDialogPresenting::NoticeStyle style, std::function<void()> acknowledgement);

  // Shared with the notice's completion, which may outlive the driver.
  std::shared_ptr<bool> noticeOpen_ = std::make_shared<bool>(false);
};

}  // namespace vantrel

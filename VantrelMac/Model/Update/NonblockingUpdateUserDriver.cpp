#include "Model/Update/NonblockingUpdateUserDriver.hpp"

#include "Support/SystemLog.hpp"
#include "Support/Text.hpp"

namespace vantrel {

NonblockingUpdateUserDriver::NonblockingUpdateUserDriver(std::shared_ptr<UpdateDialogPresenting> presenter)
    : StandardUserDriver(std::move(presenter)) {}

NonblockingUpdateUserDriver::~NonblockingUpdateUserDriver() = default;

void NonblockingUpdateUserDriver::showUpdaterError(const UpdaterError& error,
                                                   std::function<void()> acknowledgement) {
  if (onError) onError(error);
  const auto text =
      "현재 앱은 계속 실행됩니다. 연결·저장 공간을 확인하거나 배포 담당자에게 문의해 주세요.\n\n" +
      text::prefixCharacters(error.localizedDescription(), 1200);
  presentNotice("업데이트를 설치하지 못했습니다", text, UpdateDialogPresenting::NoticeStyle::warning,
                std::move(acknowledgement));
}

void NonblockingUpdateUserDriver::showUpdateNotFound(const UpdaterError& error,
                                                     std::function<void()> acknowledgement) {
  presentNotice("설치 가능한 새 버전이 없습니다", text::prefixCharacters(error.localizedDescription(), 1200),
                UpdateDialogPresenting::NoticeStyle::informational, std::move(acknowledgement));
}

void NonblockingUpdateUserDriver::showUpdateInstalledAndRelaunched(bool relaunched,
                                                                   std::function<void()> acknowledgement) {
  if (relaunched) {
    dismissUpdateInstallation();
    if (acknowledgement) acknowledgement();
    return;
  }
  presentNotice("업데이트 설치가 완료되었습니다", "다음 실행부터 새 버전을 사용합니다.",
                UpdateDialogPresenting::NoticeStyle::informational, std::move(acknowledgement));
}

void NonblockingUpdateUserDriver::presentNotice(const std::string& title, const std::string& text,
                                                UpdateDialogPresenting::NoticeStyle style,
                                                std::function<void()> acknowledgement) {
  if (*noticeOpen_) {
    SystemLog("local.vantrel.VantrelMac", "update")
        .notice("VantrelMac updater duplicate error presentation rejected");
    // The notice that blocks this one may be out of sight (minimised by the window manager, or
    // under other windows): without it back in front, the user's check would show nothing.
    if (presenter()) presenter()->bringNoticeForward();
    if (acknowledgement) acknowledgement();
    return;
  }
  dismissUpdateInstallation();
  if (!presenter()) {
    if (acknowledgement) acknowledgement();
    return;
  }
  *noticeOpen_ = true;
  presenter()->showNotice(title, text, style,
                          [open = noticeOpen_, acknowledgement = std::move(acknowledgement)] {
                            *open = false;
                            if (acknowledgement) acknowledgement();  // even when the driver is gone
                          });
}

}  // namespace vantrel

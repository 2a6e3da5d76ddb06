#include "Platform/UpdateFramework.hpp"

#include <atomic>

namespace vantrel {

UpdaterError updater_errors::make(Code code, std::string description) {
  return UpdaterError(domain, code, std::move(description));
}

struct InstallBlock::State {
  std::function<void()> body;
  std::atomic<bool> invoked{false};
};

InstallBlock::InstallBlock(std::function<void()> body) : state_(std::make_shared<State>()) {
  state_->body = std::move(body);
}

void InstallBlock::operator()() const {
  if (!state_ || state_->invoked.exchange(true)) return;
  auto body = std::move(state_->body);
  state_->body = nullptr;
  if (body) body();
}

bool InstallBlock::wasInvoked() const noexcept { return state_ && state_->invoked.load(); }

StandardUserDriver::StandardUserDriver(std::shared_ptr<UpdateDialogPresenting> presenter)
    : presenter_(std::move(presenter)) {}

StandardUserDriver::~StandardUserDriver() = default;

void StandardUserDriver::showUpdateFound(const AppcastItem& item,
                                         std::function<void(UpdateFoundChoice)> reply) {
  if (presenter_) return presenter_->showUpdateFound(item, std::move(reply));
  reply(UpdateFoundChoice::later);
}

void StandardUserDriver::showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                                              std::function<void()> cancel) {
  if (presenter_) presenter_->showDownloadProgress(received, expected, std::move(cancel));
}

void StandardUserDriver::showReadyToInstall(const AppcastItem& item,
                                            std::function<void(ReadyToInstallChoice)> reply) {
  if (presenter_) return presenter_->showReadyToInstall(item, std::move(reply));
  reply(ReadyToInstallChoice::later);
}

void StandardUserDriver::showUpdaterError(const UpdaterError& error, std::function<void()> acknowledgement) {
  if (!presenter_) return acknowledgement();
  presenter_->showNotice("업데이트 오류", error.localizedDescription(),
                         UpdateDialogPresenting::NoticeStyle::warning, std::move(acknowledgement));
}

void StandardUserDriver::showUpdateNotFound(const UpdaterError& error,
                                            std::function<void()> acknowledgement) {
  if (!presenter_) return acknowledgement();
  presenter_->showNotice("최신 버전입니다", error.localizedDescription(),
                         UpdateDialogPresenting::NoticeStyle::informational, std::move(acknowledgement));
}

void StandardUserDriver::showUpdateInstalledAndRelaunched(bool relaunched,
                                                          std::function<void()> acknowledgement) {
  if (!presenter_ || relaunched) return acknowledgement();
  presenter_->showNotice("업데이트 설치 완료", "다음 실행부터 새 버전을 사용합니다.",
                         UpdateDialogPresenting::NoticeStyle::informational, std::move(acknowledgement));
}

void StandardUserDriver::dismissUpdateInstallation() {
  if (presenter_) presenter_->dismissAll();
}

}  // namespace vantrel

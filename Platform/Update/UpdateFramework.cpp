#include "Platform/Update/UpdateFramework.hpp"

#include <atomic>

namespace vantrel {

std::string updater_errors::description(Code code) {
  switch (code) {
    case noUpdate: return "현재 버전이 최신입니다.";
    case feedFailed: return "업데이트 정보를 받지 못했습니다.";
    case feedSignature: return "업데이트 정보의 서명을 확인할 수 없습니다.";
    case feedMalformed: return "업데이트 정보를 읽을 수 없습니다.";
    case downloadFailed: return "새 버전을 다운로드하지 못했습니다.";
    case archiveSignature: return "다운로드한 파일의 서명이 올바르지 않습니다.";
    case archiveRefused: return "다운로드한 파일을 안전하게 풀 수 없습니다.";
    case stagedBuildRefused: return "다운로드한 새 버전을 사용할 수 없습니다.";
    case notInstallableHere: return "업데이트를 설치할 수 있는 위치가 아닙니다.";
    case installFailed: return "새 버전을 설치하지 못했습니다.";
    case cancelled: return "업데이트가 취소되었습니다.";
  }
  return "업데이트 중 오류가 발생했습니다.";
}

UpdaterError updater_errors::make(Code code, std::string detail) {
  return UpdaterError(domain, code, description(code),
                      detail.empty() ? std::nullopt : std::optional<std::string>(std::move(detail)));
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

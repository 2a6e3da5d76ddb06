#include "Model/Update/UpdateSettingsModel.hpp"

namespace vantrel {

UpdateSettingsModel UpdateSettingsModel::present(const MacUpdaterController::Published& published,
                                                 const UpdateInfo& info) {
  UpdateSettingsModel model;
  model.versionText = "현재 버전 " + AppVersion::display(info);
  model.checkEnabled = published.canCheck;
  model.automaticChecks = published.automaticChecks;
  model.status = published.status;
  model.statusIcon = published.hasError ? StatusIcon::warning : StatusIcon::download;
  if (published.waitingForActivity) {
    model.busyNote = published.busySummary.empty() ? "마지막 작업을 정리하는 중입니다."
                                                   : published.busySummary + " 작업이 진행 중입니다.";
  }
  if (published.isLocalRehearsal) model.rehearsalBadge = "로컬 업데이트 시험용 · 배포 금지";
  return model;
}

}  // namespace vantrel

#include <gtest/gtest.h>

#include "Model/Update/UpdateSettingsModel.hpp"

namespace vantrel {
namespace {

TEST(UpdateSettingsModel, Table) {
  MacUpdaterController::Published published;
  const UpdateInfo info{{"CFBundleShortVersionString", "1.4.2"}};
  auto model = UpdateSettingsModel::present(published, info);
  EXPECT_EQ(model.versionText, "현재 버전 v1.4.2");
  EXPECT_FALSE(model.checkEnabled);
  EXPECT_TRUE(model.automaticChecks);
  EXPECT_EQ(model.statusIcon, UpdateSettingsModel::StatusIcon::download);
  EXPECT_FALSE(model.busyNote);
  EXPECT_FALSE(model.rehearsalBadge);
  EXPECT_EQ(model.hint,
            "다운로드·설치는 알림에서 선택합니다. 원격제어·파일 전송·개발 작업 중에는 설치를 기다립니다.");

  published.hasError = true;
  published.status = "오류";
  published.busySummary = "원격 화면";  // not waiting: no note whatever the summary holds
  model = UpdateSettingsModel::present(published, UpdateInfo::object());
  EXPECT_EQ(model.statusIcon, UpdateSettingsModel::StatusIcon::warning);
  EXPECT_EQ(model.status, "오류");
  EXPECT_FALSE(model.busyNote);
  EXPECT_EQ(model.versionText, "현재 버전 개발 버전");

  published.waitingForActivity = true;
  EXPECT_EQ(UpdateSettingsModel::present(published, info).busyNote, "원격 화면 작업이 진행 중입니다.");
  published.busySummary.clear();
  EXPECT_EQ(UpdateSettingsModel::present(published, info).busyNote, "마지막 작업을 정리하는 중입니다.");
  published.isLocalRehearsal = true;
  published.canCheck = true;
  model = UpdateSettingsModel::present(published, info);
  EXPECT_EQ(model.rehearsalBadge, "로컬 업데이트 시험용 · 배포 금지");
  EXPECT_TRUE(model.checkEnabled);
}

}  // namespace
}  // namespace vantrel

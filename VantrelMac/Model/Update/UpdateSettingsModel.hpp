#pragma once

// What the update box of the connection panel shows, computed from the controller's published
// fields (the widget only draws it).

#include <optional>
#include <string>

#include "Model/Update/MacUpdaterController.hpp"

namespace vantrel {

struct UpdateSettingsModel {
  enum class StatusIcon { warning, download };

  std::string versionText;  // "현재 버전 " + AppVersion::display
  bool checkEnabled = false;
  bool automaticChecks = true;
  std::string status;
  StatusIcon statusIcon = StatusIcon::download;
  std::optional<std::string> busyNote;  // only while an installation waits
  std::string hint =
      "다운로드·설치는 알림에서 선택합니다. 원격제어·파일 전송·개발 작업 중에는 설치를 기다립니다.";
  std::optional<std::string> rehearsalBadge;

  static UpdateSettingsModel present(const MacUpdaterController::Published& published,
                                     const UpdateInfo& info);
};

}  // namespace vantrel

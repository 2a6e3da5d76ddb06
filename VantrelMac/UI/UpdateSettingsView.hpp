#pragma once

// The "앱 업데이트" box of the connection panel: the running version, the check button, the
// automatic-check switch, the status line, the busy note, the hint and the rehearsal badge. It
// holds no state: it redraws on every change the controller publishes.

#include <memory>

#include "Model/Status/LoginScreenPresenter.hpp"
#include "Model/Update/MacUpdaterController.hpp"

#include <QGroupBox>

class QCheckBox;
class QLabel;
class QPushButton;

namespace vantrel {

class UpdateSettingsView : public QGroupBox {
 public:
  UpdateSettingsView(std::shared_ptr<MacUpdaterController> controller, UpdateInfo info,
                     QWidget* parent = nullptr);
  ~UpdateSettingsView() override;

  void render();

  QPushButton* checkButton() const noexcept { return checkButton_; }
  QCheckBox* automaticSwitch() const noexcept { return automaticSwitch_; }
  QLabel* statusLabel() const noexcept { return statusText_; }
  QLabel* busyNote() const noexcept { return busyNote_; }
  QLabel* rehearsalBadge() const noexcept { return rehearsalBadge_; }
  QLabel* hint() const noexcept { return hint_; }
  QLabel* statusIcon() const noexcept { return statusIcon_; }
  QLabel* rehearsalIcon() const noexcept { return rehearsalIcon_; }
  // The symbol the status line shows now.
  StatusSymbol statusSymbol() const noexcept { return statusSymbol_; }

  static constexpr int symbolSize = 16;
  static constexpr int statusRowHeight = 34;

 private:
  std::shared_ptr<MacUpdaterController> controller_;
  UpdateInfo info_;
  int observer_ = 0;
  QLabel* version_ = nullptr;
  QPushButton* checkButton_ = nullptr;
  QCheckBox* automaticSwitch_ = nullptr;
  QLabel* statusIcon_ = nullptr;
  QLabel* statusText_ = nullptr;
  QLabel* busyNote_ = nullptr;
  QLabel* hint_ = nullptr;
  QWidget* rehearsalRow_ = nullptr;
  QLabel* rehearsalIcon_ = nullptr;
  QLabel* rehearsalBadge_ = nullptr;
  StatusSymbol statusSymbol_ = StatusSymbol::arrowDownCircle;
};

}  // namespace vantrel

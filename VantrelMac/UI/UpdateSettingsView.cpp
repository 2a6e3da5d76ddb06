#include "UI/UpdateSettingsView.hpp"

#include "Model/UpdateSettingsModel.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace vantrel {

UpdateSettingsView::UpdateSettingsView(std::shared_ptr<MacUpdaterController> controller, UpdateInfo info,
                                       QWidget* parent)
    : QGroupBox(QString::fromUtf8("앱 업데이트"), parent),
      controller_(std::move(controller)),
      info_(std::move(info)) {
  auto* stack = new QVBoxLayout(this);
  stack->setSpacing(10);
  stack->setContentsMargins(5, 5, 5, 5);
  stack->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* top = new QHBoxLayout();
  version_ = new QLabel(this);
  checkButton_ = new QPushButton(QString::fromUtf8("업데이트 확인…"), this);
  top->addWidget(version_);
  top->addStretch(1);
  top->addWidget(checkButton_);
  stack->addLayout(top);

  automaticSwitch_ = new QCheckBox(QString::fromUtf8("새 버전 자동 확인"), this);
  stack->addWidget(automaticSwitch_);

  auto* statusRow = new QHBoxLayout();
  statusIcon_ = new QLabel(this);
  statusText_ = new QLabel(this);
  statusText_->setWordWrap(true);
  statusText_->setMinimumHeight(34);
  // The first line stays beside the icon; longer texts wrap downwards from there.
  statusText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  statusRow->addWidget(statusIcon_, 0, Qt::AlignTop);
  statusRow->addWidget(statusText_, 1);
  stack->addLayout(statusRow);

  busyNote_ = new QLabel(this);
  busyNote_->setWordWrap(true);
  busyNote_->setForegroundRole(QPalette::PlaceholderText);
  stack->addWidget(busyNote_);

  auto* hint = new QLabel(this);
  hint->setWordWrap(true);
  hint->setForegroundRole(QPalette::PlaceholderText);
  hint->setText(QString::fromStdString(UpdateSettingsModel{}.hint));
  stack->addWidget(hint);

  rehearsalBadge_ = new QLabel(this);
  stack->addWidget(rehearsalBadge_);

  connect(checkButton_, &QPushButton::clicked, this, [this] { controller_->checkForUpdates(); });
  // The switch asks the controller and then shows whatever the controller holds.
  connect(automaticSwitch_, &QCheckBox::clicked, this, [this](bool checked) {
    controller_->setAutomaticChecks(checked);
    render();
  });
  observer_ = controller_->addObserver([this] { render(); });
  render();
}

UpdateSettingsView::~UpdateSettingsView() { controller_->removeObserver(observer_); }

void UpdateSettingsView::render() {
  const auto model = UpdateSettingsModel::present(controller_->published(), info_);
  version_->setText(QString::fromStdString(model.versionText));
  checkButton_->setEnabled(model.checkEnabled);
  automaticSwitch_->setChecked(model.automaticChecks);
  statusText_->setText(QString::fromStdString(model.status));
  statusText_->setAccessibleName(QString::fromStdString(model.status));
  const auto icon = style()->standardIcon(model.statusIcon == UpdateSettingsModel::StatusIcon::warning
                                              ? QStyle::SP_MessageBoxWarning
                                              : QStyle::SP_ArrowDown);
  statusIcon_->setPixmap(icon.pixmap(16, 16));
  statusIcon_->setProperty("warning", model.statusIcon == UpdateSettingsModel::StatusIcon::warning);
  busyNote_->setVisible(model.busyNote.has_value());
  busyNote_->setText(QString::fromStdString(model.busyNote.value_or("")));
  rehearsalBadge_->setVisible(model.rehearsalBadge.has_value());
  rehearsalBadge_->setText(QString::fromStdString(model.rehearsalBadge.value_or("")));
}

}  // namespace vantrel

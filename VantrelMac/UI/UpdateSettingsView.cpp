#include "UI/UpdateSettingsView.hpp"

#include "Model/Update/UpdateSettingsModel.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "UI/SymbolIcons.hpp"
#include "UI/VantrelTheme.hpp"

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

  // The status line: symbol and text centred in a row at least 34 high; a long text wraps and
  // makes the row taller.
  auto* statusRow = new QHBoxLayout();
  statusIcon_ = new QLabel(this);
  statusIcon_->setFixedSize(symbolSize, symbolSize);
  statusText_ = new QLabel(this);
  statusText_->setWordWrap(true);
  statusText_->setMinimumHeight(statusRowHeight);
  statusText_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  statusRow->addWidget(statusIcon_, 0, Qt::AlignVCenter);
  statusRow->addWidget(statusText_, 1);
  stack->addLayout(statusRow);

  busyNote_ = new QLabel(this);
  busyNote_->setWordWrap(true);
  busyNote_->setFont(VantrelTheme::font(VantrelTheme::calloutSize));
  VantrelTheme::useSecondaryText(busyNote_);
  stack->addWidget(busyNote_);

  hint_ = new QLabel(this);
  hint_->setWordWrap(true);
  hint_->setFont(VantrelTheme::font(VantrelTheme::captionSize));
  VantrelTheme::useSecondaryText(hint_);
  hint_->setText(QString::fromStdString(UpdateSettingsModel{}.hint));
  stack->addWidget(hint_);

  rehearsalRow_ = new QWidget(this);
  auto* badge = new QHBoxLayout(rehearsalRow_);
  badge->setContentsMargins(0, 0, 0, 0);
  badge->setSpacing(6);
  rehearsalIcon_ = new QLabel(rehearsalRow_);
  rehearsalIcon_->setFixedSize(symbolSize, symbolSize);
  rehearsalIcon_->setPixmap(SymbolIcons::pixmap(StatusSymbol::testtube2, symbolSize,
                                                palette().color(QPalette::WindowText), devicePixelRatioF()));
  rehearsalBadge_ = new QLabel(rehearsalRow_);
  rehearsalBadge_->setFont(VantrelTheme::font(VantrelTheme::captionSize));
  badge->addWidget(rehearsalIcon_, 0, Qt::AlignVCenter);
  badge->addWidget(rehearsalBadge_, 1);
  stack->addWidget(rehearsalRow_);

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
  const bool warning = model.statusIcon == UpdateSettingsModel::StatusIcon::warning;
  const StatusSymbol symbol = warning ? StatusSymbol::exclamationmarkTriangle : StatusSymbol::arrowDownCircle;
  if (symbol != statusSymbol_ || statusIcon_->pixmap().isNull()) {
    statusSymbol_ = symbol;
    // Drawn in the text's own (primary) colour, as the status text is.
    statusIcon_->setPixmap(
        SymbolIcons::pixmap(symbol, symbolSize, palette().color(QPalette::WindowText), devicePixelRatioF()));
  }
  statusIcon_->setProperty("warning", warning);
  busyNote_->setVisible(model.busyNote.has_value());
  busyNote_->setText(QString::fromStdString(model.busyNote.value_or("")));
  rehearsalRow_->setVisible(model.rehearsalBadge.has_value());
  rehearsalBadge_->setVisible(model.rehearsalBadge.has_value());
  rehearsalBadge_->setText(QString::fromStdString(model.rehearsalBadge.value_or("")));
}

}  // namespace vantrel

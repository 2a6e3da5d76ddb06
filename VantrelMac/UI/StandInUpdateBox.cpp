#include "StandInUpdateBox.hpp"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "VantrelTheme.hpp"

namespace vantrel {

UpdateBoxFactory standInUpdateBox(std::shared_ptr<UpdaterControlling> updater, QString versionText) {
  return [updater = std::move(updater), versionText](QWidget* parent) -> QWidget* {
    auto* box = new QGroupBox(QStringLiteral("앱 업데이트"), parent);
    auto* stack = new QVBoxLayout(box);
    stack->setContentsMargins(5, 5, 5, 5);
    stack->setSpacing(10);
    auto* row = new QHBoxLayout();
    row->addWidget(new QLabel(QStringLiteral("현재 버전 ") + versionText, box));
    row->addStretch(1);
    auto* check = new QPushButton(QStringLiteral("업데이트 확인\u2026"), box);
    check->setEnabled(updater && updater->canCheckForUpdates());
    std::weak_ptr<UpdaterControlling> weak = updater;
    QObject::connect(check, &QPushButton::clicked, box, [weak] {
      if (const auto strong = weak.lock()) strong->checkForUpdates();
    });
    row->addWidget(check);
    stack->addLayout(row);
    auto* hint = new QLabel(
        QStringLiteral(
            "다운로드·설치는 알림에서 선택합니다. 원격제어·파일 전송·개발 작업 중에는 설치를 기다립니다."),
        box);
    hint->setWordWrap(true);
    hint->setFont(VantrelTheme::font(VantrelTheme::captionSize));
    hint->setForegroundRole(QPalette::PlaceholderText);
    stack->addWidget(hint);
    return box;
  };
}

}  // namespace vantrel

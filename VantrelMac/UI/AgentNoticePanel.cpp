#include "AgentNoticePanel.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "Model/Status/WindowPresenter.hpp"
#include "Platform/XDisplayProbe.hpp"
#include "SymbolIcons.hpp"
#include "VantrelTheme.hpp"

namespace vantrel {

AgentNoticePanel::AgentNoticePanel(QWidget* parent)
    : AgentNoticePanel(XDisplayProbe::compositingManagerRunning(), parent) {}

AgentNoticePanel::AgentNoticePanel(bool translucent, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint),
      translucent_(translucent) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  if (translucent_) setAttribute(Qt::WA_TranslucentBackground);
  setFocusPolicy(Qt::NoFocus);
  setFixedSize(agentNoticeSize.width, agentNoticeSize.height);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 0, 14, 0);
  row->setSpacing(14);
  icon_ = new ApplicationIconView(28, this);
  icon_->setFixedSize(28, 28);
  row->addWidget(icon_, 0, Qt::AlignVCenter);
  // The two texts form one stack, centred vertically as a whole: the spare height goes above and
  // below it, never between the lines.
  auto* stack = new QVBoxLayout();
  stack->setSpacing(6);
  stack->addStretch(1);
  title_ = new QLabel(QStringLiteral("VantrelMac Client"), this);
  title_->setFont(VantrelTheme::font(12, QFont::Medium));
  message_ = new QLabel(QStringLiteral("Vantrel Agent\n원격 프로그램 실행중"), this);
  message_->setFont(VantrelTheme::font(15, QFont::DemiBold));
  message_->setWordWrap(false);
  for (QLabel* label : {title_, message_}) label->setStyleSheet(QStringLiteral("color: white;"));
  stack->addWidget(title_);
  stack->addWidget(message_);
  stack->addStretch(1);
  for (QLabel* label : {title_, message_}) label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  row->addLayout(stack);
  row->addStretch(1);
}

void AgentNoticePanel::placeOnScreen() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens().front();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  const PixelRect frame =
      agentNoticeFrame(PixelRect{available.x(), available.y(), available.width(), available.height()});
  move(frame.x, frame.y);
}

QColor AgentNoticePanel::plateColour() { return QColor(30, 32, 36, 224); }

void AgentNoticePanel::paintEvent(QPaintEvent*) {
  // A dark translucent rounded plate in place of the desktop's HUD material.
  QPainter painter(this);
  if (!translucent_) {
    // Nothing shows through without a compositor: the plate as it looks over black, edge to edge.
    const QColor plate = plateColour();
    const double a = plate.alphaF();
    painter.fillRect(
        rect(), QColor::fromRgbF(static_cast<float>(plate.redF() * a), static_cast<float>(plate.greenF() * a),
                                 static_cast<float>(plate.blueF() * a)));
    return;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(plateColour());
  painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

}  // namespace vantrel

#include "AgentNoticePanel.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include <QScreen>
#include <QVBoxLayout>
#include <cmath>

#include "Model/Status/WindowPresenter.hpp"
#include "Platform/X11/XDisplayProbe.hpp"
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
  const int m = margin();
  setFixedSize(agentNoticeSize.width + 2 * m, agentNoticeSize.height + 2 * m);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16 + m, m, 14 + m, m);
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
  move(frame.x - margin(), frame.y - margin());
}

namespace {
constexpr int shadowDarkest = 70;
}

QRect AgentNoticePanel::plateRect() const {
  return {margin(), margin(), agentNoticeSize.width, agentNoticeSize.height};
}

QColor AgentNoticePanel::plateColour() { return QColor(30, 32, 36, 224); }

// Light enough to stand 3:1 off a black desktop, quiet next to the white text.
QColor AgentNoticePanel::outlineColour() { return QColor(0x63, 0x66, 0x6D); }

void AgentNoticePanel::paintEvent(QPaintEvent*) {
  // A dark translucent rounded plate in place of the desktop's HUD material.
  QPainter painter(this);
  if (!translucent_) {
    // Nothing shows through without a compositor: the plate as it looks over black, edge to edge,
    // inside its outline.
    const QColor plate = plateColour();
    const double a = plate.alphaF();
    painter.fillRect(
        rect(), QColor::fromRgbF(static_cast<float>(plate.redF() * a), static_cast<float>(plate.greenF() * a),
                                 static_cast<float>(plate.blueF() * a)));
    painter.setPen(outlineColour());
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    return;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF plate(plateRect());
  // The shadow: rings of black around the plate, fading with the distance from it, a little lower
  // than the plate as if lit from above. Each ring is drawn once, so none darkens another, and none
  // under the translucent plate.
  QPainterPath outside;
  outside.addRect(QRectF(rect()));
  QPainterPath platePath;
  platePath.addRoundedRect(plate, cornerRadius, cornerRadius);
  painter.setClipPath(outside.subtracted(platePath));
  // The plate's own outline moved down, where the shadow is darkest, then the rings.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 0, 0, shadowDarkest));
  painter.drawRoundedRect(plate.translated(0, shadowDrop), cornerRadius, cornerRadius);
  painter.setBrush(Qt::NoBrush);
  for (int ring = 1; ring <= shadowMargin; ++ring) {
    const double fade = 1.0 - static_cast<double>(ring - 1) / shadowMargin;
    painter.setPen(QPen(QColor(0, 0, 0, static_cast<int>(std::lround(shadowDarkest * fade * fade))), 1.0));
    const double grow = ring - 0.5;
    painter.drawRoundedRect(plate.adjusted(-grow, -grow + shadowDrop, grow, grow + shadowDrop),
                            cornerRadius + grow, cornerRadius + grow);
  }
  painter.setClipping(false);
  painter.setPen(Qt::NoPen);
  painter.setBrush(plateColour());
  painter.drawRoundedRect(plate, cornerRadius, cornerRadius);
}

}  // namespace vantrel

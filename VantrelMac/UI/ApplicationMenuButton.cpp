#include "ApplicationMenuButton.hpp"

#include <QPainter>
#include <QPixmap>

namespace vantrel {

namespace {

// Three bars, 13 × 11, drawn at twice the size for dense screens.
QIcon barsIcon(const QColor& colour) {
  constexpr qreal scale = 2.0;
  QPixmap pixmap(QSize(13, 13) * scale);
  pixmap.setDevicePixelRatio(scale);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  for (const qreal y : {1.5, 5.75, 10.0}) painter.drawRoundedRect(QRectF(0.5, y, 12.0, 1.75), 0.8, 0.8);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace

ApplicationMenuButton::ApplicationMenuButton(const QColor& colour, QWidget* parent) : QToolButton(parent) {
  setFixedSize(24, 24);
  setAutoRaise(true);
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  setIcon(barsIcon(colour));
  setIconSize(QSize(13, 13));
  setPopupMode(QToolButton::InstantPopup);
  // The bars say "menu" already: no arrow beside them.
  setStyleSheet(
      QStringLiteral("QToolButton { border: none; background: transparent; }"
                     "QToolButton::menu-indicator { image: none; width: 0; }"));
  setAccessibleName(QString::fromLatin1(accessibleNameText));
  setToolTip(QString::fromLatin1(accessibleNameText));
  hide();
}

}  // namespace vantrel

#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
#include <QWidget>

#include "Model/Status/LoginScreenPresenter.hpp"

class QPainter;

namespace vantrel::SymbolIcons {

// The outline of a system symbol drawn into `box` (filled with the winding rule).
QPainterPath path(StatusSymbol symbol, const QRectF& box);

// Paints the symbol in one colour.
void paint(QPainter& painter, StatusSymbol symbol, const QRectF& box, const QColor& colour);

QPixmap pixmap(StatusSymbol symbol, int size, const QColor& colour, qreal devicePixelRatio = 1.0);
QIcon icon(StatusSymbol symbol, int size, const QColor& colour);

// The status item's mark: a white diamond with a dark outline, legible on light and dark panels
// alike (trays do not tint their icons to the panel as a menu bar tints template images).
QImage trayImage(int size);
QIcon trayIcon();
inline constexpr QRgb trayFill = 0xFFFFFFFF;
inline constexpr QRgb trayOutline = 0xFF1C1C1E;

// The application's own artwork, rendered from its SVG: `size` pixels at 1×, as many device
// pixels more as `devicePixelRatio` asks.
QIcon applicationIcon();
QPixmap applicationPixmap(int size, qreal devicePixelRatio = 1.0);

// Standard colours of the symbols in the windows.
QColor green();
QColor orange();
QColor yellow();
QColor systemBlue();

}  // namespace vantrel::SymbolIcons

namespace vantrel {

// The application's icon, `iconSize` pixels square and centred in the widget, rendered at the
// pixel density of whatever it is painted on: a 2× screen gets a 2× rendering, not an enlarged
// 1× one.
class ApplicationIconView : public QWidget {
 public:
  explicit ApplicationIconView(int iconSize, QWidget* parent = nullptr);
  int iconSize() const noexcept { return iconSize_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int iconSize_;
  QPixmap rendered_;
};

}  // namespace vantrel

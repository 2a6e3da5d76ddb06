#include "SymbolIcons.hpp"

#include "KeyboardAccess.hpp"

#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <numbers>

// The icon is compiled into this static library; its resources need registering once.
static void registerWindowResources() { Q_INIT_RESOURCE(VantrelMacUI); }

namespace vantrel::SymbolIcons {

namespace {

QPainterPath circle(const QRectF& box, double inset = 0) {
  QPainterPath p;
  p.addEllipse(box.adjusted(inset, inset, -inset, -inset));
  return p;
}

// The outline of `shape` as a filled path of the given width (in units of the box side).
QPainterPath outlined(const QPainterPath& shape, double width, double side) {
  QPainterPathStroker stroker;
  stroker.setWidth(width * side);
  stroker.setCapStyle(Qt::RoundCap);
  stroker.setJoinStyle(Qt::RoundJoin);
  return stroker.createStroke(shape);
}

// A filled disc with the polylines (in units of the box side) cut out as round strokes.
QPainterPath discWithCut(const QRectF& b, std::initializer_list<std::initializer_list<QPointF>> lines,
                         double width) {
  const double s = b.width();
  QPainterPath cut;
  for (const auto& line : lines) {
    bool first = true;
    for (const QPointF& p : line) {
      const QPointF at(b.left() + p.x() * s, b.top() + p.y() * s);
      if (first) {
        cut.moveTo(at);
        first = false;
      } else {
        cut.lineTo(at);
      }
    }
  }
  return circle(b).subtracted(outlined(cut, width, s));
}

QPainterPath checkmarkCircle(const QRectF& b) {
  return discWithCut(b, {{{0.27, 0.52}, {0.43, 0.68}, {0.74, 0.34}}}, 0.11);
}

QPainterPath arrowRightCircle(const QRectF& b) {
  return discWithCut(b, {{{0.25, 0.5}, {0.72, 0.5}}, {{0.52, 0.3}, {0.73, 0.5}, {0.52, 0.7}}}, 0.1);
}

// A triangle pointing up: apex at `top`, base at `bottom`, its corners `side` in from the box's
// edges (all in units of the box side).
QPainterPath upTriangle(const QRectF& b, double top, double bottom, double side) {
  const double s = b.width();
  QPainterPath outline;
  outline.moveTo(b.left() + 0.5 * s, b.top() + top * s);
  outline.lineTo(b.right() - side * s, b.top() + bottom * s);
  outline.lineTo(b.left() + side * s, b.top() + bottom * s);
  outline.closeSubpath();
  return outline;
}

QPainterPath warningTriangle(const QRectF& b) {
  const double s = b.width();
  const QPainterPath outline = upTriangle(b, 0.06, 0.92, 0.02);
  QPainterPathStroker rounder;
  rounder.setWidth(0.08 * s);
  rounder.setJoinStyle(Qt::RoundJoin);
  QPainterPath body = outline.united(rounder.createStroke(outline));
  QPainterPath mark;
  mark.addRoundedRect(QRectF(b.left() + 0.455 * s, b.top() + 0.33 * s, 0.09 * s, 0.33 * s), 0.045 * s,
                      0.045 * s);
  mark.addEllipse(QPointF(b.left() + 0.5 * s, b.top() + 0.77 * s), 0.055 * s, 0.055 * s);
  return body.subtracted(mark);
}

QPainterPath dottedCircle(const QRectF& b) {
  const double s = b.width();
  QPainterPath p;
  const QPointF centre = b.center();
  const double radius = 0.42 * s;
  for (int i = 0; i < 12; ++i) {
    const double angle = i * std::numbers::pi / 6.0;
    p.addEllipse(QPointF(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle)),
                 0.06 * s, 0.06 * s);
  }
  return p;
}

QPainterPath gearshape(const QRectF& b) {
  const double s = b.width();
  const QPointF c = b.center();
  QPainterPath gear;
  constexpr int teeth = 8;
  const double outer = 0.5 * s;
  const double inner = 0.38 * s;
  for (int i = 0; i < teeth * 2; ++i) {
    const double a0 = (i - 0.5) * std::numbers::pi / teeth;
    const double a1 = (i + 0.5) * std::numbers::pi / teeth;
    const double r = (i % 2 == 0) ? outer : inner;
    const QPointF p0(c.x() + r * std::cos(a0), c.y() + r * std::sin(a0));
    const QPointF p1(c.x() + r * std::cos(a1), c.y() + r * std::sin(a1));
    if (i == 0) gear.moveTo(p0);
    gear.lineTo(p0);
    gear.lineTo(p1);
  }
  gear.closeSubpath();
  QPainterPath hole;
  hole.addEllipse(c, 0.17 * s, 0.17 * s);
  return gear.subtracted(hole);
}

QPainterPath diamond(const QRectF& b) {
  QPainterPath p;
  p.moveTo(b.center().x(), b.top());
  p.lineTo(b.right(), b.center().y());
  p.lineTo(b.center().x(), b.bottom());
  p.lineTo(b.left(), b.center().y());
  p.closeSubpath();
  return p;
}

QPainterPath displaySymbol(const QRectF& b) {
  const double s = b.width();
  QPainterPath screen;
  screen.addRoundedRect(QRectF(b.left(), b.top() + 0.1 * s, s, 0.62 * s), 0.08 * s, 0.08 * s);
  QPainterPath glass;
  glass.addRect(QRectF(b.left() + 0.08 * s, b.top() + 0.18 * s, 0.84 * s, 0.46 * s));
  QPainterPath stand;
  stand.addRect(QRectF(b.left() + 0.44 * s, b.top() + 0.72 * s, 0.12 * s, 0.1 * s));
  stand.addRoundedRect(QRectF(b.left() + 0.28 * s, b.top() + 0.82 * s, 0.44 * s, 0.07 * s), 0.03 * s,
                       0.03 * s);
  return screen.subtracted(glass).united(stand);
}

QPainterPath arrowDownCircle(const QRectF& b) {
  const double s = b.width();
  const double w = 0.085;
  QPainterPath ring;
  ring.addEllipse(b.adjusted(w * s / 2, w * s / 2, -w * s / 2, -w * s / 2));
  QPainterPath arrow;
  arrow.moveTo(b.left() + 0.5 * s, b.top() + 0.26 * s);
  arrow.lineTo(b.left() + 0.5 * s, b.top() + 0.72 * s);
  arrow.moveTo(b.left() + 0.31 * s, b.top() + 0.53 * s);
  arrow.lineTo(b.left() + 0.5 * s, b.top() + 0.72 * s);
  arrow.lineTo(b.left() + 0.69 * s, b.top() + 0.53 * s);
  return outlined(ring, w, s).united(outlined(arrow, w, s));
}

QPainterPath warningTriangleOutline(const QRectF& b) {
  const double s = b.width();
  const QPainterPath outline = upTriangle(b, 0.1, 0.88, 0.06);
  QPainterPath mark;
  mark.addRoundedRect(QRectF(b.left() + 0.46 * s, b.top() + 0.36 * s, 0.08 * s, 0.28 * s), 0.04 * s,
                      0.04 * s);
  mark.addEllipse(QPointF(b.left() + 0.5 * s, b.top() + 0.74 * s), 0.05 * s, 0.05 * s);
  return outlined(outline, 0.08, s).united(mark);
}

QPainterPath testTubes(const QRectF& b) {
  const double s = b.width();
  QPainterPath result;
  // Two tubes side by side: an outlined glass with a rounded bottom, the lower part filled.
  for (const double left : {0.16, 0.56}) {
    const double x = b.left() + left * s;
    const double width = 0.28 * s;
    QPainterPath glass;
    glass.moveTo(x, b.top() + 0.12 * s);
    glass.lineTo(x, b.top() + 0.74 * s);
    glass.arcTo(QRectF(x, b.top() + 0.6 * s, width, 0.28 * s), 180, 180);
    glass.lineTo(x + width, b.top() + 0.12 * s);
    result = result.united(outlined(glass, 0.075, s));
    QPainterPath rim;
    rim.moveTo(x - 0.06 * s, b.top() + 0.12 * s);
    rim.lineTo(x + width + 0.06 * s, b.top() + 0.12 * s);
    result = result.united(outlined(rim, 0.075, s));
    QPainterPath liquid;
    liquid.moveTo(x, b.top() + 0.5 * s);
    liquid.lineTo(x, b.top() + 0.74 * s);
    liquid.arcTo(QRectF(x, b.top() + 0.6 * s, width, 0.28 * s), 180, 180);
    liquid.lineTo(x + width, b.top() + 0.5 * s);
    liquid.closeSubpath();
    result = result.united(liquid);
  }
  return result;
}

}  // namespace

QPainterPath path(StatusSymbol symbol, const QRectF& box) {
  // Symbols are drawn in the largest square centred in the box.
  const double side = std::min(box.width(), box.height());
  const QRectF b(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
  QPainterPath result;
  switch (symbol) {
    case StatusSymbol::diamondFill: result = diamond(b); break;
    case StatusSymbol::gearshapeFill: result = gearshape(b); break;
    case StatusSymbol::checkmarkCircleFill: result = checkmarkCircle(b); break;
    case StatusSymbol::exclamationmarkTriangleFill: result = warningTriangle(b); break;
    case StatusSymbol::circleDotted: result = dottedCircle(b); break;
    case StatusSymbol::arrowRightCircleFill: result = arrowRightCircle(b); break;
    case StatusSymbol::display: result = displaySymbol(b); break;
    case StatusSymbol::arrowDownCircle: result = arrowDownCircle(b); break;
    case StatusSymbol::exclamationmarkTriangle: result = warningTriangleOutline(b); break;
    case StatusSymbol::testtube2: result = testTubes(b); break;
  }
  // Boolean operations leave their holes to the fill rule they chose: keep it.
  return result;
}

void paint(QPainter& painter, StatusSymbol symbol, const QRectF& box, const QColor& colour) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  painter.drawPath(path(symbol, box));
  painter.restore();
}

QPixmap pixmap(StatusSymbol symbol, int size, const QColor& colour, qreal devicePixelRatio) {
  QPixmap image(QSize(size, size) * devicePixelRatio);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  paint(painter, symbol, QRectF(0, 0, size, size), colour);
  return image;
}

QIcon icon(StatusSymbol symbol, int size, const QColor& colour) {
  QIcon result;
  result.addPixmap(pixmap(symbol, size, colour, 1.0));
  result.addPixmap(pixmap(symbol, size, colour, 2.0));
  return result;
}

QImage trayImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  // The outline is a fifth of the half-diagonal: wide enough to read on a light panel, leaving
  // most of the mark white for a dark one.
  const double outline = std::max(1.5, size / 9.0);
  const QRectF box(0, 0, size, size);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgba(trayOutline));
  painter.drawPath(path(StatusSymbol::diamondFill, box));
  painter.setBrush(QColor::fromRgba(trayFill));
  const double inset = outline * std::numbers::sqrt2;
  painter.drawPath(path(StatusSymbol::diamondFill, box.adjusted(inset, inset, -inset, -inset)));
  return image;
}

QIcon trayIcon() {
  QIcon result;
  for (const int size : {16, 22, 24, 32, 48, 64}) result.addPixmap(QPixmap::fromImage(trayImage(size)));
  return result;
}

QPixmap applicationPixmap(int size, qreal devicePixelRatio) {
  static const bool registered = (registerWindowResources(), true);
  (void)registered;
  QSvgRenderer renderer(QStringLiteral(":/VantrelMac/VantrelMacIcon.svg"));
  const int side = static_cast<int>(std::ceil(size * devicePixelRatio));
  QPixmap image(side, side);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(0, 0, side, side));
  painter.end();
  image.setDevicePixelRatio(devicePixelRatio);
  return image;
}

QIcon applicationIcon() {
  QIcon result;
  for (const int size : {16, 28, 44, 64, 128, 256}) result.addPixmap(applicationPixmap(size));
  return result;
}

QColor green() { return QColor(52, 199, 89); }
QColor orange() { return QColor(255, 149, 0); }
QColor yellow() { return QColor(255, 204, 0); }
QColor systemBlue() { return QColor(0, 122, 255); }

}  // namespace vantrel::SymbolIcons

namespace vantrel {

ApplicationIconView::ApplicationIconView(int iconSize, QWidget* parent)
    : QWidget(parent), iconSize_(iconSize) {
  setMinimumSize(iconSize, iconSize);
  // It always stands next to the application's name: decoration, which screen readers skip.
  hideFromAccessibility(this);
}

void ApplicationIconView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The density of the surface painted on (the window's screen, or an image the widget is
  // rendered into): how many device pixels one of ours spans.
  const qreal scale = painter.deviceTransform().mapRect(QRectF(0, 0, 1, 1)).width();
  const qreal ratio = scale > 0 ? scale : devicePixelRatioF();
  if (rendered_.isNull() || rendered_.devicePixelRatio() != ratio) {
    rendered_ = SymbolIcons::applicationPixmap(iconSize_, ratio);
  }
  // Centred on whole pixels, so that its edges stay where the rendering put them.
  painter.drawPixmap(QPoint((width() - iconSize_) / 2, (height() - iconSize_) / 2), rendered_);
}

}  // namespace vantrel

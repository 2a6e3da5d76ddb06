#include "WindowChrome.hpp"

#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QTransform>

#include "Model/WindowPresenter.hpp"
#include "VantrelTheme.hpp"

namespace vantrel {

QPainterPath trianglePath(const QRectF& rect) {
  QPainterPath path;
  path.setFillRule(Qt::WindingFill);
  path.moveTo(rect.left(), rect.top());
  path.lineTo(rect.right(), rect.top());
  path.lineTo(rect.center().x(), rect.bottom());
  path.closeSubpath();
  return path;
}

LoginBackdrop::LoginBackdrop(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

QPainterPath LoginBackdrop::rightTriangle(double backdropWidth) {
  const QRectF frame(backdropWidth - rightTriangleSize.width(), 0, rightTriangleSize.width(),
                     rightTriangleSize.height());
  // Turned by 180° about the centre of its frame: base at the bottom, apex at the top.
  QTransform turn;
  turn.translate(frame.center().x(), frame.center().y());
  turn.rotate(180);
  turn.translate(-frame.center().x(), -frame.center().y());
  return turn.map(trianglePath(frame));
}

void LoginBackdrop::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF area = rect();
  QLinearGradient gradient(area.topLeft(), area.bottomRight());
  gradient.setColorAt(0, VantrelTheme::loginTop());
  gradient.setColorAt(1, VantrelTheme::loginBottom());
  painter.fillRect(area, gradient);
  painter.setPen(Qt::NoPen);
  painter.setBrush(VantrelTheme::white(leftTriangleOpacity));
  painter.drawPath(trianglePath(QRectF(QPointF(0, 0), leftTriangleSize)));
  painter.setBrush(VantrelTheme::white(rightTriangleOpacity));
  painter.drawPath(rightTriangle(area.width()));
}

void resizeWindowNow(QWidget* window, QSize size) {
  if (window == nullptr) return;
  const QRect frame = window->frameGeometry();
  const QSize content = window->size();
  const auto target = resizedWindowFrame(PixelRect{frame.x(), frame.y(), frame.width(), frame.height()},
                                         PixelSize{content.width(), content.height()},
                                         PixelSize{size.width(), size.height()});
  if (!target) return;
  // Place the content so that the frame lands where the centre-keeping rectangle says; the
  // decorations' offsets are the window system's.
  const QPoint decoration = window->geometry().topLeft() - frame.topLeft();
  window->setFixedSize(size);
  window->setGeometry(QRect(QPoint(target->x, target->y) + decoration, size));
}

void resizeWindowContaining(QWidget* view, QSize size) {
  QPointer<QWidget> guard(view);
  QTimer::singleShot(0, view, [guard, size] {
    if (!guard) return;
    QWidget* window = guard->window();
    if (window == nullptr || window == guard.data() || !window->isWindow()) return;
    resizeWindowNow(window, size);
  });
}

}  // namespace vantrel

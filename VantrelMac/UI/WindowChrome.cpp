#include "WindowChrome.hpp"

#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QTransform>

#include "DesktopMotion.hpp"
#include "Model/Status/WindowPresenter.hpp"
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

namespace {
constexpr const char* resizeAnimationName = "vantrelContentResize";
}

WindowContentResizer::WindowContentResizer(QSize size, QWidget* parent) : QWidget(parent), size_(size) {
  setFixedSize(0, 0);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  resizeWindow(this, size_);
}

void WindowContentResizer::setSize(QSize size) {
  size_ = size;
  resizeWindow(this, size_);
}

void WindowContentResizer::refresh() { resizeWindow(this, size_); }

bool WindowContentResizer::prefersReducedMotion() {
  // The variable decides either way when it says something; otherwise the desktop does.
  const QByteArray value = qgetenv("VANTREL_REDUCED_MOTION").trimmed().toLower();
  if (value == "1" || value == "true" || value == "yes") return true;
  if (value == "0" || value == "false" || value == "no") return false;
  const std::optional<bool> animations = DesktopMotionSetting::animationsEnabled();
  return animations.has_value() && !*animations;
}

QVariantAnimation* WindowContentResizer::runningAnimation(const QWidget* window) {
  if (window == nullptr) return nullptr;
  // A finished one may still be waiting for its deferred deletion beside the running one.
  for (QVariantAnimation* animation : window->findChildren<QVariantAnimation*>(
           QLatin1String(resizeAnimationName), Qt::FindDirectChildrenOnly)) {
    if (animation->state() == QAbstractAnimation::Running) return animation;
  }
  return nullptr;
}

void WindowContentResizer::resizeWindowNow(QWidget* window, QSize size, bool animated) {
  if (window == nullptr) return;
  // A resize still under way gives way to the new one, from wherever it got to.
  bool interrupted = false;
  if (QVariantAnimation* running = runningAnimation(window)) {
    running->stop();
    running->deleteLater();
    interrupted = true;
  }
  const QRect frame = window->frameGeometry();
  const QSize content = window->size();
  const auto target = resizedWindowFrame(PixelRect{frame.x(), frame.y(), frame.width(), frame.height()},
                                         PixelSize{content.width(), content.height()},
                                         PixelSize{size.width(), size.height()});
  if (!target) {
    // Stopped close enough to the size: only the limits the animation had opened need closing.
    if (interrupted) window->setFixedSize(window->size());
    return;
  }
  // Place the content so that the frame lands where the centre-keeping rectangle says; the
  // decorations' offsets are the window system's.
  const QPoint decoration = window->geometry().topLeft() - frame.topLeft();
  const QRect end(QPoint(target->x, target->y) + decoration, size);
  if (!animated || !window->isVisible()) {
    window->setFixedSize(size);
    window->setGeometry(end);
    return;
  }
  // In between, the window passes through sizes between the two: open the limits to them.
  const QRect start = window->geometry();
  window->setMinimumSize(start.size().boundedTo(size));
  window->setMaximumSize(start.size().expandedTo(size));
  auto* animation = new QVariantAnimation(window);
  animation->setObjectName(QLatin1String(resizeAnimationName));
  animation->setDuration(animationMilliseconds);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  animation->setStartValue(start);
  animation->setEndValue(end);
  QPointer<QWidget> guard(window);
  QObject::connect(animation, &QVariantAnimation::valueChanged, window, [guard](const QVariant& value) {
    if (guard) guard->setGeometry(value.toRect());
  });
  QObject::connect(animation, &QVariantAnimation::finished, window, [guard, end, animation] {
    animation->deleteLater();
    if (!guard) return;
    guard->setFixedSize(end.size());
    guard->setGeometry(end);
  });
  animation->start();
}

void WindowContentResizer::resizeWindow(QWidget* view, QSize size) {
  QPointer<QWidget> guard(view);
  QTimer::singleShot(0, view, [guard, size] {
    if (!guard) return;
    QWidget* window = guard->window();
    if (window == nullptr || window == guard.data() || !window->isWindow()) return;
    resizeWindowNow(window, size, !prefersReducedMotion());
  });
}

}  // namespace vantrel

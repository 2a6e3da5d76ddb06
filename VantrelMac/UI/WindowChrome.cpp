#include "WindowChrome.hpp"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QTransform>
#include <QWindow>

#include <cstdint>
#include <optional>

#include "DesktopMotion.hpp"
#include "Model/Status/WindowPresenter.hpp"
#include "Platform/X11/XWindowHints.hpp"
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
constexpr const char* limitsWaitName = "vantrelContentLimits";

// The application's connection to an X server; null on other platforms (offscreen in tests).
xcb_connection_t* x11Connection() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 != nullptr ? x11->connection() : nullptr;
}

// While the window system changes the window's size, the server shows the picture the window
// had until the program has painted the new size: kept centred, as the page in it is, and with
// the edges a larger size uncovers in the window's own colour.
void keepPictureCentred(QWidget* window, bool centred) {
  xcb_connection_t* connection = x11Connection();
  if (connection == nullptr || window->windowHandle() == nullptr) return;
  const QRgb colour = window->palette().color(QPalette::Window).rgb();
  XWindowHints::keepPictureCentredOnResize(connection, static_cast<std::uint32_t>(window->winId()), centred,
                                           colour & 0xFFFFFFU);
}

// Closes the window's size limits on `size` once the window system has given the window that
// size. The limits are the widget's: set before the size has arrived, they would resize the widget
// at once and lay it out for a size the screen does not show yet.
class LimitsOnArrival : public QObject {
 public:
  LimitsOnArrival(QWidget* window, QSize size) : QObject(window), window_(window), size_(size) {
    setObjectName(QLatin1String(limitsWaitName));
    window->installEventFilter(this);
  }
  // Closes them now when the size is already there; true then.
  bool closeIfArrived() {
    if (window_->size() != size_) return false;
    window_->removeEventFilter(this);
    window_->setFixedSize(size_);
    keepPictureCentred(window_, false);
    deleteLater();
    return true;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Resize) closeIfArrived();
    return false;
  }

 private:
  QWidget* window_;
  QSize size_;
};

void closeLimitsOnArrival(QWidget* window, QSize size) {
  (new LimitsOnArrival(window, size))->closeIfArrived();
}

// The work area of the screen under the centre of `frame`: the screen less the panels the window
// manager keeps clear (_NET_WORKAREA, which Qt follows), or the whole screen where none is published.
std::optional<PixelRect> workArea(const QWidget* window, const QRect& frame) {
  QScreen* screen = QGuiApplication::screenAt(frame.center());
  if (screen == nullptr) screen = window->screen();
  if (screen == nullptr) return std::nullopt;
  const QRect area = screen->availableGeometry();
  if (area.isEmpty()) return std::nullopt;
  return PixelRect{area.x(), area.y(), area.width(), area.height()};
}

// A size no longer awaited: a newer resize decides the limits. The window's picture goes back to
// the server's defaults as at the end of a resize, so that nothing of the dropped one stays set when
// the newer one finds the window hidden (or the manager never gave the awaited size). True when a
// size was awaited.
bool dropLimitsWait(QWidget* window) {
  bool dropped = false;
  for (QObject* wait :
       window->findChildren<QObject*>(QLatin1String(limitsWaitName), Qt::FindDirectChildrenOnly)) {
    window->removeEventFilter(wait);
    wait->setObjectName(QString());
    wait->deleteLater();
    dropped = true;
  }
  if (dropped) keepPictureCentred(window, false);
  return dropped;
}

}  // namespace

void offerNoUserResize(QWidget* window) {
  xcb_connection_t* connection = x11Connection();
  if (connection == nullptr || window == nullptr) return;
  XWindowHints::requestNoUserResize(connection, static_cast<std::uint32_t>(window->winId()));
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
  interrupted = dropLimitsWait(window) || interrupted;
  // A shown window is resized through its native window: the window system places and sizes it
  // in steps of its own (a window manager moves and sizes its frame, draws it, and only then
  // sizes the window in it), and the widget follows each size as it arrives. So the page is laid
  // out for the size on the screen, never for one still on its way.
  QWindow* native = window->isVisible() ? window->windowHandle() : nullptr;
  // Where the window is, or was last sent while a resize was under way.
  const QRect frame = native != nullptr ? native->frameGeometry() : window->frameGeometry();
  const QRect start = native != nullptr ? native->geometry() : window->geometry();
  auto target =
      resizedWindowFrame(PixelRect{frame.x(), frame.y(), frame.width(), frame.height()},
                         PixelSize{start.width(), start.height()}, PixelSize{size.width(), size.height()});
  if (!target) {
    // Stopped close enough to the size: only the limits the earlier resize opened need closing.
    if (interrupted) closeLimitsOnArrival(window, start.size());
    return;
  }
  // Grown around its centre near an edge, the window would reach past the screen or under a panel.
  if (const auto area = workArea(window, frame)) target = keptInside(*target, *area);
  // Place the content so that the frame lands where the centre-keeping rectangle says; the
  // decorations' offsets are the window system's.
  const QPoint decoration = start.topLeft() - frame.topLeft();
  const QRect end(QPoint(target->x, target->y) + decoration, size);
  if (native == nullptr) {
    window->setFixedSize(size);
    window->setGeometry(end);
    return;
  }
  // On the way, the window passes through sizes between the one it shows and the new one: open
  // the limits to them.
  const QSize shown = window->size();
  window->setMinimumSize(shown.boundedTo(start.size()).boundedTo(size));
  window->setMaximumSize(shown.expandedTo(start.size()).expandedTo(size));
  keepPictureCentred(window, true);
  if (!animated) {
    native->setGeometry(end);
    closeLimitsOnArrival(window, size);
    return;
  }
  QPointer<QWidget> guard(window);
  auto* animation = new QVariantAnimation(window);
  animation->setObjectName(QLatin1String(resizeAnimationName));
  animation->setDuration(animationMilliseconds);
  animation->setEasingCurve(QEasingCurve::InOutQuad);
  animation->setStartValue(start);
  animation->setEndValue(end);
  QObject::connect(animation, &QVariantAnimation::valueChanged, window, [guard](const QVariant& value) {
    if (guard && guard->windowHandle()) guard->windowHandle()->setGeometry(value.toRect());
  });
  QObject::connect(animation, &QVariantAnimation::finished, window, [guard, end, animation] {
    animation->deleteLater();
    if (!guard || guard->windowHandle() == nullptr) return;
    guard->windowHandle()->setGeometry(end);
    closeLimitsOnArrival(guard, end.size());
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

#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QSize>
#include <QVariantAnimation>
#include <QWidget>

namespace vantrel {

// A triangle whose base is the rectangle's top edge and whose apex is the middle of its bottom
// edge (y grows downward): it points down.
QPainterPath trianglePath(const QRectF& rect);

// The login screen's background: a diagonal gradient from the top-left to the bottom-right corner
// with two faint triangles, one hanging from the top-left, one turned over at the top-right.
class LoginBackdrop : public QWidget {
 public:
  explicit LoginBackdrop(QWidget* parent = nullptr);

  static constexpr QSizeF leftTriangleSize{270, 330};
  static constexpr QSizeF rightTriangleSize{220, 330};
  static constexpr double leftTriangleOpacity = 0.045;
  static constexpr double rightTriangleOpacity = 0.035;

  // The right triangle's outline in the coordinates of a backdrop of the given width.
  static QPainterPath rightTriangle(double backdropWidth);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// Asks the window manager to offer the user no resizing of `window`, whose size only the program
// changes (through a WindowContentResizer): its frame then looks the same at every size and before
// and after each resize, with no resize handle. Call it before the window is mapped (from a
// non-spontaneous show event); only X11 windows have such hints.
void offerNoUserResize(QWidget* window);

// An invisible view placed in a presentation: it gives the window holding it exactly `size` of
// content, keeping the centre of the window's frame where it was; a frame that would then reach
// past the screen's work area (the screen less its panels) moves the least distance that brings it
// inside. Each construction ("make") and each setSize or refresh ("update") schedules one resize;
// the resize never runs inside the current layout pass, and a window already within 1 px of the
// size is left alone, minimum and maximum sizes included. The change is animated (short,
// ease-in-out) unless the desktop asks for reduced motion; once the window has the size, its
// minimum and maximum sizes are both `size`. A shown window is sized through its native window,
// and its contents take each size when the window system reports it; meanwhile the X server keeps
// the window's last picture centred.
class WindowContentResizer : public QWidget {
 public:
  WindowContentResizer(QSize size, QWidget* parent);

  QSize targetSize() const noexcept { return size_; }
  void setSize(QSize size);
  // Schedules a resize to the current size (the presentation came on screen again).
  void refresh();

  // Schedules one resize of the window that contains `view` and returns at once.
  static void resizeWindow(QWidget* view, QSize size);
  // Resizes `window` now: animated unless `animated` is false.
  static void resizeWindowNow(QWidget* window, QSize size, bool animated);

  // Whether windows should not animate. VANTREL_REDUCED_MOTION decides when it is set to "1",
  // "true" or "yes" (no motion) or to "0", "false" or "no" (motion); otherwise the desktop's
  // setting does (DesktopMotionSetting), and a desktop that publishes none lets windows move.
  static bool prefersReducedMotion();

  // The resize animation running on `window`, if any (null when none runs).
  static QVariantAnimation* runningAnimation(const QWidget* window);

  static constexpr int animationMilliseconds = 180;

 private:
  QSize size_;
};

}  // namespace vantrel

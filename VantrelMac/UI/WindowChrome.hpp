#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QSize>
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

// Gives the top-level window holding `view` exactly `size` of content, keeping the centre of its
// frame where it was. The resize is queued (never inside the current layout pass); a window
// already within 1 px of the size is left alone, min and max sizes included.
void resizeWindowContaining(QWidget* view, QSize size);

// The same, at once (the queued call runs this).
void resizeWindowNow(QWidget* window, QSize size);

}  // namespace vantrel

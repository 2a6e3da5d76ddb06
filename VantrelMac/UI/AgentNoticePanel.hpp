#pragma once

#include <QColor>
#include <QWidget>

class QLabel;

namespace vantrel {

// The short notice after a sign-in: a dark rounded 350 × 92 panel with the application icon and
// two white lines, shown on top without taking focus. With a compositing manager the window is
// larger than the plate by a soft shadow around it; without one, where nothing around the plate
// could show through, the window is the plate, edged with a light 1 px outline so that it stands
// apart from a dark desktop.
class AgentNoticePanel : public QWidget {
 public:
  // With `translucent` the plate has rounded corners and the desktop shows through them; it
  // needs a compositing manager, without which those corners would be black, so the plate is
  // then drawn to the edges instead. By default the display is asked.
  explicit AgentNoticePanel(QWidget* parent = nullptr);
  AgentNoticePanel(bool translucent, QWidget* parent);

  bool isTranslucent() const noexcept { return translucent_; }
  static constexpr double cornerRadius = 10;
  // The shadow's reach around the plate, and how far it falls below it.
  static constexpr int shadowMargin = 12;
  static constexpr int shadowDrop = 2;
  static QColor plateColour();
  static QColor outlineColour();
  // Where the 350 × 92 plate lies in the window.
  QRect plateRect() const;

  QLabel* titleLabel() const { return title_; }
  QLabel* messageLabel() const { return message_; }
  QWidget* iconLabel() const { return icon_; }

  // Moves the panel so that its plate sits in the bottom-right corner of the primary screen (or
  // the first screen).
  void placeOnScreen();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int margin() const noexcept { return translucent_ ? shadowMargin : 0; }

  bool translucent_ = false;
  QWidget* icon_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace vantrel

#pragma once

#include <QColor>
#include <QWidget>

class QLabel;

namespace vantrel {

// The short notice after a sign-in: a dark rounded 350 × 92 panel with the application icon and
// two white lines, shown on top without taking focus.
class AgentNoticePanel : public QWidget {
 public:
  // With `translucent` the plate has rounded corners and the desktop shows through them; it
  // needs a compositing manager, without which those corners would be black, so the plate is
  // then drawn to the edges instead. By default the display is asked.
  explicit AgentNoticePanel(QWidget* parent = nullptr);
  AgentNoticePanel(bool translucent, QWidget* parent);

  bool isTranslucent() const noexcept { return translucent_; }
  static constexpr double cornerRadius = 10;
  static QColor plateColour();

  QLabel* titleLabel() const { return title_; }
  QLabel* messageLabel() const { return message_; }
  QWidget* iconLabel() const { return icon_; }

  // Moves the panel to the bottom-right corner of the primary screen (or the first screen).
  void placeOnScreen();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool translucent_ = false;
  QWidget* icon_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace vantrel

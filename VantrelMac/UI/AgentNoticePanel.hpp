#pragma once

#include <QWidget>

class QLabel;

namespace vantrel {

// The short notice after a sign-in: a dark rounded 350 × 92 panel with the application icon and
// two white lines, shown on top without taking focus.
class AgentNoticePanel : public QWidget {
 public:
  explicit AgentNoticePanel(QWidget* parent = nullptr);

  QLabel* titleLabel() const { return title_; }
  QLabel* messageLabel() const { return message_; }
  QLabel* iconLabel() const { return icon_; }

  // Moves the panel to the bottom-right corner of the primary screen (or the first screen).
  void placeOnScreen();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* icon_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace vantrel

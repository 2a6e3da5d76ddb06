#pragma once

#include <QColor>
#include <QToolButton>

namespace vantrel {

// The tray menu's items in the status window itself, for desktops that show no tray (GNOME
// without an extension): a small button with three bars that opens the same menu, so that the
// log window, the update check and "종료" stay within reach. Hidden until the window is given the
// menu; a stop of the keyboard's Tab walk, where Space or Return opens it.
class ApplicationMenuButton : public QToolButton {
 public:
  // `colour` draws the bars: light on the login screen's backdrop, the text colour on the panel.
  ApplicationMenuButton(const QColor& colour, QWidget* parent);

  static constexpr const char* accessibleNameText = "VantrelMac menu";
};

}  // namespace vantrel

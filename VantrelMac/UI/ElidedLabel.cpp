#include <QFontMetrics>
#include <QHelpEvent>
#include <QToolTip>

#include "LoginScreenWidget.hpp"

namespace vantrel {

void ElidedLabel::setFullText(const QString& text) {
  if (text == full_) return;
  full_ = text;
  elide();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  elide();
}

void ElidedLabel::elide() {
  const QFontMetrics metrics(font());
  const QString shown = metrics.elidedText(full_, Qt::ElideRight, std::max(10, width()));
  setText(shown);
  // A screen reader hears the whole text once, as the name, whether or not the line is cut.
  if (accessibleName() != full_) setAccessibleName(full_);
}

bool ElidedLabel::event(QEvent* event) {
  // The tooltip gives what a cut line cannot show. It is shown here rather than kept as the
  // widget's tooltip, which a screen reader would read again as the description.
  if (event->type() == QEvent::ToolTip) {
    if (text() == full_) {
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), full_, this);
    }
    return true;
  }
  return QLabel::event(event);
}

}  // namespace vantrel

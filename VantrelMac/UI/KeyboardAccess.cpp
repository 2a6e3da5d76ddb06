#include "KeyboardAccess.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QInputMethodEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>

namespace vantrel {

namespace {

constexpr const char* decorativeProperty = "vantrelDecorative";

// What assistive technology is told about a decorative widget: present in the window (so the
// tree stays whole) but invisible and nameless, which screen readers skip.
class DecorationAccessible final : public QAccessibleWidget {
 public:
  explicit DecorationAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Graphic) {}
  QString text(QAccessible::Text) const override { return {}; }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.invisible = true;
    s.focusable = false;
    return s;
  }
};

QAccessibleInterface* decorationFactory(const QString&, QObject* object) {
  if (object == nullptr || !object->isWidgetType() || !object->property(decorativeProperty).toBool())
    return nullptr;
  return new DecorationAccessible(static_cast<QWidget*>(object));
}

}  // namespace

FocusRing::FocusRing(QWidget* control, const QColor& colour, Qt::Edges inside)
    : QWidget(control->window()), control_(control), colour_(colour), inside_(inside) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  hide();
  control->installEventFilter(this);
  watchContainers();
}

FocusRing::~FocusRing() {
  if (control_) control_->removeEventFilter(this);
  unwatchContainers();
}

void FocusRing::unwatchContainers() {
  for (const QPointer<QWidget>& container : containers_) {
    if (container) container->removeEventFilter(this);
  }
  containers_.clear();
}

void FocusRing::watchContainers() {
  unwatchContainers();
  if (!control_) return;
  for (QWidget* container = control_->parentWidget(); container != nullptr && !container->isWindow();
       container = container->parentWidget()) {
    container->installEventFilter(this);
    containers_.emplace_back(container);
  }
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (watched != control_ && watched->isWidgetType()) {
    // A container of the control: its move moves the control within the window; a new parent
    // anywhere on the way changes which containers there are.
    if (event->type() == QEvent::ParentChange) {
      watchContainers();
      follow();
    } else if (event->type() == QEvent::Move && isVisible()) {
      follow();
    }
    return false;
  }
  if (watched == control_) {
    if (event->type() == QEvent::ParentChange) watchContainers();
    switch (event->type()) {
      case QEvent::FocusIn:
      case QEvent::FocusOut:
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::ParentChange:
      case QEvent::EnabledChange: follow(); break;
      default: break;
    }
  }
  return false;
}

void FocusRing::follow() {
  if (!control_) return;
  const bool wanted = control_->hasFocus() && control_->isVisible() && control_->isEnabled();
  if (!wanted) {
    hide();
    return;
  }
  QWidget* window = control_->window();
  if (parentWidget() != window) setParent(window);  // the control moved into another window
  const auto outset = [this](Qt::Edge edge) { return inside_.testFlag(edge) ? 0 : gap + width; };
  setGeometry(QRect(control_->mapTo(window, QPoint(0, 0)), control_->size())
                  .adjusted(-outset(Qt::LeftEdge), -outset(Qt::TopEdge), outset(Qt::RightEdge),
                            outset(Qt::BottomEdge)));
  raise();
  show();
  update();
}

void FocusRing::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(colour_, width));
  painter.setBrush(Qt::NoBrush);
  const double half = width / 2.0;
  painter.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), 4, 4);
}

void HintLineEdit::setHint(const QString& hint) {
  if (hint == hint_) return;
  hint_ = hint;
  update();
}

void HintLineEdit::inputMethodEvent(QInputMethodEvent* event) {
  composing_ = !event->preeditString().isEmpty();
  QLineEdit::inputMethodEvent(event);
}

void HintLineEdit::paintEvent(QPaintEvent* event) {
  QLineEdit::paintEvent(event);
  // Shown when the toolkit shows a placeholder: nothing typed or being composed, and not in a
  // centred field that has the focus.
  if (hint_.isEmpty() || !text().isEmpty() || composing_ || ((alignment() & Qt::AlignHCenter) && hasFocus()))
    return;
  // Where and how the toolkit draws a placeholder: inside the contents rectangle and the text
  // margins, 2 px in from the sides, the line centred (or at the top or bottom, 1 px in).
  QStyleOptionFrame panel;
  initStyleOption(&panel);
  const QRect contents =
      style()->subElementRect(QStyle::SE_LineEditContents, &panel, this).marginsRemoved(textMargins());
  const QFontMetrics metrics = fontMetrics();
  const int lineHeight = std::max(metrics.boundingRect(hint_).height(), metrics.height());
  constexpr int horizontalMargin = 2;
  constexpr int verticalMargin = 1;
  int top = contents.y() + (contents.height() - lineHeight + 1) / 2;
  if (alignment() & Qt::AlignTop) top = contents.y() + verticalMargin;
  if (alignment() & Qt::AlignBottom) top = contents.bottom() + 1 - lineHeight - verticalMargin;
  const QRect line(contents.x() + horizontalMargin, top, contents.width() - 2 * horizontalMargin, lineHeight);
  const Qt::LayoutDirection direction = hint_.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
  QPainter painter(this);
  painter.setClipRect(contents);
  painter.setPen(palette().placeholderText().color());
  painter.setLayoutDirection(direction);
  painter.drawText(line, static_cast<int>(QStyle::visualAlignment(direction, alignment())),
                   metrics.elidedText(hint_, Qt::ElideRight, line.width()));
}

QColor loginFocusRingColour() { return QColor(0xA8, 0xD4, 0xFF); }

void attachFocusRing(QWidget* control, const QColor& colour, Qt::Edges inside) {
  auto* ring = new FocusRing(control, colour, inside);
  // The ring goes with its control.
  QObject::connect(control, &QObject::destroyed, ring, &QObject::deleteLater);
}

void hideFromAccessibility(QWidget* decoration) {
  static const bool installed = (QAccessible::installFactory(decorationFactory), true);
  (void)installed;
  decoration->setProperty(decorativeProperty, true);
  decoration->setAccessibleName(QString());
  decoration->setFocusPolicy(Qt::NoFocus);
}

}  // namespace vantrel

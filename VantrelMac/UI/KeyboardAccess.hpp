#pragma once

// Keyboard and assistive access for the hand-drawn controls: a focus ring that any control can
// wear, and a way to keep decoration out of the accessibility tree.

#include <QColor>
#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include <vector>

namespace vantrel {

// A ring drawn around a control while it has keyboard focus. It lives in the control's window,
// above everything else there, so that it is never clipped by the control's own parent and
// works the same for painted, styled and stock controls. It follows the control when the control
// moves, resizes, hides or changes window, and when any of the control's containers moves inside
// the window (a page placed anew while the window changes size). On the edges named `inside`
// (where the control touches a neighbour) the ring is drawn just inside the control instead, so
// that it never covers the neighbour or the neighbour's own ring.
class FocusRing final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int width = 2;  // the ring's stroke
  static constexpr int gap = 1;    // between the control's edge and the ring

  FocusRing(QWidget* control, const QColor& colour, Qt::Edges inside = {});
  ~FocusRing() override;

  QWidget* control() const { return control_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void follow();
  // Watches the control's containers below its window, whose moves carry the control along
  // without telling it.
  void watchContainers();
  void unwatchContainers();

  QPointer<QWidget> control_;
  std::vector<QPointer<QWidget>> containers_;
  QColor colour_;
  Qt::Edges inside_;
};

// A line edit whose grey hint only repeats the name it is announced by (its caption). The toolkit
// would hand a placeholder to assistive technology as the field's description, and a screen reader
// would read the name twice; this hint is drawn exactly as a placeholder is, but not reported.
class HintLineEdit final : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

  void setHint(const QString& hint);
  QString hint() const { return hint_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;

 private:
  QString hint_;
  bool composing_ = false;  // an input method shows text that is not yet the field's
};

// The ring colour over the login screen's dark backdrop: at least 3:1 against every part of it.
QColor loginFocusRingColour();

// Gives `control` a focus ring (owned by the control).
void attachFocusRing(QWidget* control, const QColor& colour, Qt::Edges inside = {});

// Keeps a purely decorative widget (an image that repeats what the text says) out of what
// assistive technology reads: it is reported as invisible, without a name.
void hideFromAccessibility(QWidget* decoration);

}  // namespace vantrel

#include "ConnectionPanelWidget.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include "ApplicationMenuButton.hpp"
#include "KeyboardAccess.hpp"
#include "LoginScreenWidget.hpp"
#include "SymbolIcons.hpp"
#include "VantrelTheme.hpp"

namespace vantrel {

namespace {

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* secondaryCaption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(VantrelTheme::font(VantrelTheme::captionSize));
  VantrelTheme::useSecondaryText(label);
  return label;
}

QGroupBox* groupBox(const QString& title, QWidget* parent) {
  auto* box = new QGroupBox(title, parent);
  box->setFont(VantrelTheme::font(VantrelTheme::bodySize));
  return box;
}

// "Title ………… value" on one row.
QLabel* labelledValue(QVBoxLayout* into, const QString& title, QWidget* parent) {
  auto* row = new QHBoxLayout();
  row->addWidget(new QLabel(title, parent));
  row->addStretch(1);
  auto* value = new QLabel(parent);
  VantrelTheme::useSecondaryText(value);
  row->addWidget(value);
  into->addLayout(row);
  return value;
}

// The disclosure as assistive technology sees it: a button that expands and collapses the group.
// Its open state is told as expanded or collapsed; it is never "checked".
class DisclosureAccessible final : public QAccessibleWidget {
 public:
  explicit DisclosureAccessible(DisclosureButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

  QString text(QAccessible::Text t) const override {
    // Named by its own title, not by the group box around it.
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return button()->text();
    return QAccessibleWidget::text(t);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.expandable = true;
    s.expanded = button()->isChecked();
    s.collapsed = !button()->isChecked();
    s.pressed = button()->isDown();
    return s;
  }
  QStringList actionNames() const override {
    return QStringList{pressAction()} + QAccessibleWidget::actionNames();
  }
  void doAction(const QString& name) override {
    if (name == pressAction()) {
      if (button()->isEnabled()) button()->click();
      return;
    }
    QAccessibleWidget::doAction(name);
  }

 private:
  DisclosureButton* button() const { return static_cast<DisclosureButton*>(widget()); }
};

QAccessibleInterface* disclosureFactory(const QString&, QObject* object) {
  if (auto* button = dynamic_cast<DisclosureButton*>(object)) return new DisclosureAccessible(button);
  return nullptr;
}

}  // namespace

DisclosureButton::DisclosureButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
  static const bool installed = (QAccessible::installFactory(disclosureFactory), true);
  (void)installed;
  setText(title);
  setCheckable(true);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  QObject::connect(this, &DisclosureButton::toggled, this, [this] {
    QAccessible::State changed;
    changed.expanded = true;
    changed.collapsed = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
  });
}

QSize DisclosureButton::sizeHint() const {
  const QFontMetrics metrics(font());
  return {triangleBox + 6 + metrics.horizontalAdvance(text()) + 2,
          std::max(triangleBox, metrics.height()) + 4};
}

void DisclosureButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor ink =
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText);
  // The triangle: pointing right while closed, down while open.
  const QPointF centre(triangleBox / 2.0, height() / 2.0);
  QPainterPath triangle;
  if (isChecked()) {
    triangle.moveTo(centre + QPointF(-4, -2.2));
    triangle.lineTo(centre + QPointF(4, -2.2));
    triangle.lineTo(centre + QPointF(0, 2.8));
  } else {
    triangle.moveTo(centre + QPointF(-2.2, -4));
    triangle.lineTo(centre + QPointF(2.8, 0));
    triangle.lineTo(centre + QPointF(-2.2, 4));
  }
  triangle.closeSubpath();
  painter.setPen(Qt::NoPen);
  painter.setBrush(isDown() ? ink.darker(140) : ink);
  painter.drawPath(triangle);
  painter.setPen(ink);
  painter.setFont(font());
  const QRect label(triangleBox + 6, 0, width() - triangleBox - 6, height());
  painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, text());
  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = label.adjusted(-2, 1, 0, -1);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
}

ConnectionPanelWidget::ConnectionPanelWidget(StatusWindowPresenter& presenter, bool isModal,
                                             const UpdateBoxFactory& updateBox, QWidget* parent)
    : QWidget(parent), presenter_(presenter), isModal_(isModal) {
  setFixedSize(panelContentSize.width, panelContentSize.height);
  setFont(VantrelTheme::font(VantrelTheme::bodySize));
  setAutoFillBackground(true);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* titleBar = new QHBoxLayout();
  titleBar->setContentsMargins(16, 16, 16, 16);
  auto* title = new QLabel(QString::fromUtf8(ConnectionPanelPresenter::title.data()), this);
  title->setFont(VantrelTheme::font(VantrelTheme::title3Size, QFont::DemiBold));
  titleBar->addWidget(title);
  titleBar->addStretch(1);
  close_ = new QPushButton(isModal ? QStringLiteral("Done") : QStringLiteral("Login Screen"), this);
  QObject::connect(close_, &QPushButton::clicked, this, [this] { presenter_.closePanel(isModal_); });
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  // The panel fills its window whenever it is shown, so Escape works wherever the focus is (or
  // with none); a hidden panel's shortcut is inactive.
  escape->setContext(Qt::WindowShortcut);
  QObject::connect(escape, &QShortcut::activated, close_, &QPushButton::click);
  titleBar->addWidget(close_);
  menu_ = new ApplicationMenuButton(palette().color(QPalette::WindowText), this);
  titleBar->addWidget(menu_);
  column->addLayout(titleBar);
  column->addWidget(divider(this));

  auto* scroll = scroll_ = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // A stop of its own for the keyboard (arrow keys scroll it): named for assistive technology.
  scroll->setAccessibleName(QStringLiteral("Connection panel contents"));
  auto* inner = new QWidget(scroll);
  auto* boxes = new QVBoxLayout(inner);
  boxes->setContentsMargins(16, 16, 16, 16);
  boxes->setSpacing(16);
  if (updateBox) boxes->addWidget(updateBox(inner));
  boxes->addWidget(buildPermissions());
  boxes->addWidget(buildDisplays());
  boxes->addWidget(buildLog());
  boxes->addStretch(1);
  scroll->setWidget(inner);
  column->addWidget(scroll, 1);
}

ConnectionPanelWidget::PermissionRowWidgets ConnectionPanelWidget::permissionRow(
    QVBoxLayout* into, std::string_view permission, const std::function<void()>& request,
    const std::function<void()>& open) {
  PermissionRowWidgets row;
  auto* line = new QHBoxLayout();
  row.symbol = new SymbolLabel(16, this);
  line->addWidget(row.symbol, 0, Qt::AlignVCenter);
  auto* texts = new QVBoxLayout();
  texts->setSpacing(2);
  row.title = new QLabel(this);
  row.title->setFont(VantrelTheme::font(VantrelTheme::bodySize, QFont::Medium));
  row.detail = secondaryCaption(QString(), this);
  texts->addWidget(row.title);
  texts->addWidget(row.detail);
  line->addLayout(texts);
  line->addStretch(1);
  row.request = new QPushButton(QStringLiteral("Request\u2026"), this);
  row.open = new QPushButton(QStringLiteral("Open Settings"), this);
  // Both rows have the same two buttons: a screen reader names them by their permission.
  const QString name = QString::fromUtf8(permission.data(), static_cast<qsizetype>(permission.size()));
  row.request->setAccessibleName(QStringLiteral("Request ") + name);
  row.open->setAccessibleName(QStringLiteral("Open Settings for ") + name);
  QObject::connect(row.request, &QPushButton::clicked, this, request);
  QObject::connect(row.open, &QPushButton::clicked, this, open);
  line->addWidget(row.request);
  line->addWidget(row.open);
  into->addLayout(line);
  // The answer reads under the grant's texts, across the row's width, once a button was pressed.
  row.note = secondaryCaption(QString(), this);
  row.note->setWordWrap(true);
  row.note->setContentsMargins(16 + line->spacing(), 0, 0, 0);
  row.note->hide();
  into->addWidget(row.note);
  return row;
}

QWidget* ConnectionPanelWidget::buildPermissions() {
  auto* box = groupBox(QStringLiteral("Permissions"), this);
  auto* stack = new QVBoxLayout(box);
  stack->setContentsMargins(5, 5, 5, 5);
  stack->setSpacing(12);
  auto& model = presenter_.model();
  screenRow_ = permissionRow(
      stack, ConnectionPanelPresenter::screenRecordingTitle, [&model] { model.requestScreenRecording(); },
      [&model] { model.openScreenRecordingSettings(); });
  stack->addWidget(divider(box));
  accessRow_ = permissionRow(
      stack, ConnectionPanelPresenter::accessibilityTitle, [&model] { model.requestAccessibility(); },
      [&model] { model.openAccessibilitySettings(); });
  return box;
}

QWidget* ConnectionPanelWidget::settingsField(const QString& title, QLineEdit*& edit, StatusFormField field) {
  auto* holder = new QWidget(this);
  auto* stack = new QVBoxLayout(holder);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(3);
  QLabel* caption = secondaryCaption(title, holder);
  stack->addWidget(caption);
  // The hint repeats the caption, which names the field for assistive technology: it is not
  // announced a second time as the field's description.
  auto* hinted = new HintLineEdit(holder);
  hinted->setHint(title);
  edit = hinted;
  caption->setBuddy(edit);
  edit->setAccessibleName(title);
  QObject::connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& text) {
    presenter_.userEditedText(field, text.toStdString());
  });
  stack->addWidget(edit);
  return holder;
}

QWidget* ConnectionPanelWidget::buildDisplays() {
  auto* box = groupBox(QStringLiteral("Display and connection"), this);
  auto* stack = new QVBoxLayout(box);
  stack->setContentsMargins(5, 5, 5, 5);
  stack->setSpacing(10);
  auto* countRow = new QHBoxLayout();
  auto* symbol = new SymbolLabel(14, box);
  symbol->setSymbol(StatusSymbol::display, palette().color(QPalette::WindowText));
  countRow->addWidget(symbol);
  displayCount_ = new QLabel(box);
  countRow->addWidget(displayCount_);
  countRow->addStretch(1);
  refresh_ = new QPushButton(QStringLiteral("Refresh"), box);
  QObject::connect(refresh_, &QPushButton::clicked, this, [this] { presenter_.model().refreshDisplays(); });
  countRow->addWidget(refresh_);
  stack->addLayout(countRow);
  displayList_ = new QVBoxLayout();
  displayList_->setSpacing(10);
  stack->addLayout(displayList_);
  stack->addWidget(divider(box));
  stateValue_ = labelledValue(stack, QStringLiteral("State"), box);
  sessionsValue_ = labelledValue(stack, QStringLiteral("Manager sessions"), box);

  disclosure_ = new DisclosureButton(QStringLiteral("Direct connection diagnostics"), box);
  stack->addWidget(disclosure_);
  directForm_ = new QWidget(box);
  auto* form = new QVBoxLayout(directForm_);
  form->setContentsMargins(0, 8, 0, 0);
  form->setSpacing(8);
  form->addWidget(settingsField(QStringLiteral("Manager host"), host_, StatusFormField::managerHost));
  auto* portRow = new QHBoxLayout();
  portRow->addWidget(settingsField(QStringLiteral("Port"), port_, StatusFormField::managerPort));
  portRow->addWidget(settingsField(QStringLiteral("Manager slot"), slot_, StatusFormField::managerSlot));
  form->addLayout(portRow);
  form->addWidget(settingsField(QStringLiteral("User ID"), userID_, StatusFormField::userID));
  auto* buttons = new QHBoxLayout();
  connect_ = new QPushButton(QStringLiteral("Connect"), directForm_);
  disconnect_ = new QPushButton(QStringLiteral("Disconnect"), directForm_);
  QObject::connect(connect_, &QPushButton::clicked, this, [this] { presenter_.model().connect(); });
  QObject::connect(disconnect_, &QPushButton::clicked, this, [this] { presenter_.model().disconnect(); });
  buttons->addWidget(connect_);
  buttons->addWidget(disconnect_);
  buttons->addStretch(1);
  form->addLayout(buttons);
  directForm_->setVisible(false);
  stack->addWidget(directForm_);
  QObject::connect(disclosure_, &DisclosureButton::toggled, this, [this](bool open) {
    directForm_->setVisible(open);
    if (open) bringIntoView(directForm_);
  });
  return box;
}

QWidget* ConnectionPanelWidget::buildLog() {
  auto* box = groupBox(QStringLiteral("Diagnostic Log"), this);
  auto* stack = new QVBoxLayout(box);
  stack->setContentsMargins(5, 5, 5, 5);
  stack->setSpacing(8);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  copy_ = new QPushButton(QStringLiteral("Copy"), box);
  clear_ = new QPushButton(QStringLiteral("Clear"), box);
  QObject::connect(copy_, &QPushButton::clicked, this, [this] { presenter_.model().copyDiagnosticLog(); });
  QObject::connect(clear_, &QPushButton::clicked, this, [this] { presenter_.model().clearDiagnosticLog(); });
  buttons->addWidget(copy_);
  buttons->addWidget(clear_);
  stack->addLayout(buttons);
  log_ = new QTextEdit(box);
  log_->setReadOnly(true);
  log_->setAcceptRichText(false);
  log_->setUndoRedoEnabled(false);
  log_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  log_->setFixedHeight(190);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log_->setLineWrapMode(QTextEdit::WidgetWidth);
  log_->setFont(VantrelTheme::monospaceFont(VantrelTheme::captionSize));
  log_->document()->setDocumentMargin(8);
  log_->setAccessibleName(QStringLiteral("Diagnostic Log"));
  // A rounded text-background area with no border line.
  log_->setFrameShape(QFrame::NoFrame);
  log_->setStyleSheet(
      QStringLiteral("QTextEdit { background: palette(base); border: none; border-radius: 6px; }"));
  stack->addWidget(log_);
  return box;
}

void ConnectionPanelWidget::bringIntoView(QWidget* target) {
  QTimer::singleShot(0, this, [this, target = QPointer<QWidget>(target)] {
    if (target && target->isVisible()) scroll_->ensureWidgetVisible(target, 0, 16);
  });
}

void ConnectionPanelWidget::renderPermission(PermissionRowWidgets& row, const PermissionRowLook& look) {
  row.symbol->setSymbol(look.symbol, look.granted ? SymbolIcons::green() : SymbolIcons::orange());
  row.title->setText(QString::fromStdString(look.title));
  row.detail->setText(QString::fromStdString(look.detail));
  row.note->setText(QString::fromStdString(look.note.value_or(std::string())));
  row.note->setVisible(look.note.has_value());
}

void ConnectionPanelWidget::renderLog(const StatusViewState& state) {
  if (logShown_ && state.diagnosticLogScrollToken == shownLogToken_) return;
  const LogListChange change = ConnectionPanelPresenter::logChange(shownLog_, state.diagnosticLog);
  QScrollBar* bar = log_->verticalScrollBar();
  const int position = bar->value();
  QTextDocument* document = log_->document();
  QTextCursor cursor(document);
  std::size_t appendFrom = change.appendFrom;
  if (change.reset) {
    log_->clear();
    shownLog_.clear();
    appendFrom = 0;
  } else if (change.dropFront > 0) {
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, static_cast<int>(change.dropFront));
    if (cursor.atEnd()) {
      cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    }
    cursor.removeSelectedText();
    shownLog_.erase(shownLog_.begin(), shownLog_.begin() + static_cast<std::ptrdiff_t>(change.dropFront));
  }
  cursor.movePosition(QTextCursor::End);
  // Entries stand apart by the list's spacing; the lines of one wrapped entry do not.
  QTextBlockFormat entry;
  entry.setBottomMargin(logLineSpacing);
  for (std::size_t i = appendFrom; i < state.diagnosticLog.size(); ++i) {
    if (!shownLog_.empty()) {
      cursor.insertBlock(entry);
    } else {
      cursor.setBlockFormat(entry);
    }
    cursor.insertText(QString::fromStdString(ConnectionPanelPresenter::logLine(state.diagnosticLog[i])));
    shownLog_.push_back(state.diagnosticLog[i].id);
  }
  // The list never moves by itself: the reader's position stays where it was.
  bar->setValue(change.reset ? 0 : position);
  shownLogToken_ = state.diagnosticLogScrollToken;
  logShown_ = true;
}

void ConnectionPanelWidget::render(const StatusViewState& state) {
  const ConnectionPanelLook look = ConnectionPanelPresenter::look(state, isModal_);
  renderPermission(screenRow_, look.screenRecording);
  renderPermission(accessRow_, look.accessibility);
  displayCount_->setText(QString::fromStdString(look.displayCountLabel));
  if (look.displayLines != shownDisplays_) {
    for (QLabel* line : displayLines_) delete line;
    displayLines_.clear();
    for (const auto& text : look.displayLines) {
      auto* line = new QLabel(QString::fromStdString(text), this);
      line->setFont(VantrelTheme::font(VantrelTheme::calloutSize));
      displayList_->addWidget(line);
      displayLines_.push_back(line);
    }
    shownDisplays_ = look.displayLines;
  }
  stateValue_->setText(QString::fromStdString(look.stateLabel));
  sessionsValue_->setText(QString::fromStdString(look.managerSessionsLabel));
  showText(host_, state.managerHost);
  showText(port_, state.managerPortText);
  showText(slot_, state.managerSlotText);
  showText(userID_, state.userID);
  connect_->setEnabled(look.connectEnabled);
  disconnect_->setEnabled(look.disconnectEnabled);
  copy_->setEnabled(look.copyEnabled);
  clear_->setEnabled(look.clearEnabled);
  renderLog(state);
}

}  // namespace vantrel

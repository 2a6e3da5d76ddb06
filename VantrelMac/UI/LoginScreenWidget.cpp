#include "LoginScreenWidget.hpp"

#include <QCheckBox>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <utility>

#include "ApplicationMenuButton.hpp"
#include "KeyboardAccess.hpp"
#include "SymbolIcons.hpp"
#include "VantrelTheme.hpp"

namespace vantrel {

namespace {

using LoginField = LoginScreenPresenter::LoginField;

QString colourCss(const QColor& c) {
  return QStringLiteral("rgba(%1,%2,%3,%4)")
      .arg(c.red())
      .arg(c.green())
      .arg(c.blue())
      .arg(c.alphaF(), 0, 'f', 3);
}

QLabel* whiteLabel(const QString& text, int size, QFont::Weight weight, double opacity, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(VantrelTheme::font(size, weight));
  label->setStyleSheet(
      QStringLiteral("color: %1; background: transparent;").arg(colourCss(VantrelTheme::white(opacity))));
  return label;
}

// A borderless button whose label is the whole button (plain style).
QPushButton* plainButton(const QString& text, int size, QFont::Weight weight, const QString& colour,
                         QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setFlat(true);
  button->setCursor(Qt::PointingHandCursor);
  button->setFont(VantrelTheme::font(size, weight));
  button->setStyleSheet(
      QStringLiteral("QPushButton { color: %1; background: transparent; border: none; padding: 0; }")
          .arg(colour));
  return button;
}

}  // namespace

QFont fittedCaptionFont(const QFont& font, const QString& text, int width) {
  // Width stretching is ignored by many fonts (the CJK families among them), so the letters are
  // brought closer instead, a tenth of a pixel at a time and at most a pixel each.
  QFont fitted = font;
  for (int tenths = 1; tenths <= 10 && QFontMetricsF(fitted).horizontalAdvance(text) > width; ++tenths) {
    fitted.setLetterSpacing(QFont::AbsoluteSpacing, -tenths / 10.0);
  }
  return fitted;
}

void showText(QLineEdit* edit, const std::string& value) {
  const QString text = QString::fromStdString(value);
  if (edit->text() != text) edit->setText(text);
}

LoginButton::LoginButton(QWidget* parent) : QAbstractButton(parent) {
  setFixedSize(80, 118);
  setCursor(Qt::PointingHandCursor);
  spinnerTimer_.setInterval(80);
  QObject::connect(&spinnerTimer_, &QTimer::timeout, this, [this] {
    spinnerStep_ = (spinnerStep_ + 1) % 12;
    update();
  });
}

void LoginButton::setLook(const QString& title, StatusSymbol symbol, bool spinner, double opacity) {
  if (title == text() && symbol == symbol_ && spinner == spinner_ && opacity == opacity_) return;
  setText(title);
  // Named by what it reads, on one line ("LOG IN AGAIN", "LOGGING IN").
  setAccessibleName(QString(title).replace(QLatin1Char('\n'), QLatin1Char(' ')));
  symbol_ = symbol;
  spinner_ = spinner;
  opacity_ = opacity;
  // The spinner turns only while shown: a hidden or idle window costs no timer.
  if (spinner_ && isVisible()) {
    spinnerTimer_.start();
  } else if (!spinner_) {
    spinnerTimer_.stop();
  }
  update();
}

void LoginButton::paintEvent(QPaintEvent*) {
  if (spinner_ && !spinnerTimer_.isActive() && isVisible()) spinnerTimer_.start();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setOpacity(opacity_);
  painter.fillRect(rect(), VantrelTheme::primaryAction());
  const QFont titleFont = VantrelTheme::font(14, QFont::Bold);
  const QFontMetrics metrics(titleFont);
  const QStringList lines = text().split(QLatin1Char('\n'));
  const int iconSize = 20;
  const int titleHeight = metrics.height() * static_cast<int>(lines.size());
  const int total = iconSize + 8 + titleHeight;
  const int top = (height() - total) / 2;
  const QRectF iconBox((width() - iconSize) / 2.0, top, iconSize, iconSize);
  if (spinner_) {
    // A small indeterminate spinner: twelve spokes, the current one brightest.
    const QPointF centre = iconBox.center();
    painter.save();
    painter.translate(centre);
    for (int i = 0; i < 12; ++i) {
      QColor spoke = Qt::white;
      spoke.setAlphaF(static_cast<float>(0.25 + 0.75 * ((i - spinnerStep_ + 12) % 12) / 11.0));
      painter.setPen(QPen(spoke, 1.6, Qt::SolidLine, Qt::RoundCap));
      painter.drawLine(QPointF(0, -4), QPointF(0, -7.5));
      painter.rotate(30);
    }
    painter.restore();
  } else {
    SymbolIcons::paint(painter, symbol_, iconBox, Qt::white);
  }
  painter.setFont(titleFont);
  painter.setPen(Qt::white);
  int y = top + iconSize + 8;
  for (const QString& line : lines) {
    painter.drawText(QRect(0, y, width(), metrics.height()), Qt::AlignHCenter | Qt::AlignVCenter, line);
    y += metrics.height();
  }
}

QSize LoginCheckBox::sizeHint() const {
  const QFontMetrics metrics(font());
  return {14 + 6 + metrics.horizontalAdvance(text()), std::max(14, metrics.height())};
}

void LoginCheckBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF box(0.5, (height() - 14) / 2.0 + 0.5, 13, 13);
  if (isChecked()) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(SymbolIcons::systemBlue());
    painter.drawRoundedRect(box, 3, 3);
    QPainterPath tick;
    tick.moveTo(box.left() + 3.2, box.center().y() + 0.2);
    tick.lineTo(box.left() + 5.6, box.center().y() + 2.8);
    tick.lineTo(box.right() - 3, box.top() + 3.6);
    painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(tick);
  } else {
    painter.setPen(QPen(VantrelTheme::white(0.7), 1));
    painter.setBrush(VantrelTheme::white(0.12));
    painter.drawRoundedRect(box, 3, 3);
  }
  painter.setFont(font());
  painter.setPen(VantrelTheme::white(0.92));
  painter.drawText(QRect(20, 0, width() - 20, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

SymbolLabel::SymbolLabel(int size, QWidget* parent) : QWidget(parent), colour_(Qt::white) {
  setFixedSize(size, size);
}

void SymbolLabel::setSymbol(StatusSymbol symbol, const QColor& colour) {
  if (symbol == symbol_ && colour == colour_) return;
  symbol_ = symbol;
  colour_ = colour;
  update();
}

void SymbolLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  SymbolIcons::paint(painter, symbol_, QRectF(rect()), colour_);
}

LoginScreenWidget::LoginScreenWidget(StatusWindowPresenter& presenter, const QString& versionText,
                                     QWidget* parent)
    : LoginBackdrop(parent), presenter_(presenter) {
  setFixedSize(loginContentSize.width, loginContentSize.height);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(buildTitleBar());
  auto* divider = new QWidget(this);
  divider->setFixedHeight(1);
  divider->setStyleSheet(QStringLiteral("background: %1;").arg(colourCss(VantrelTheme::white(0.24))));
  column->addWidget(divider);

  auto* content = new QVBoxLayout();
  content->setContentsMargins(16, 12, 16, 10);
  content->setSpacing(12);
  auto* header = new QHBoxLayout();
  auto* heading = whiteLabel(QStringLiteral("REMOTE ACCOUNT LOGIN"), 11, QFont::DemiBold, 0.92, this);
  QFont headingFont = heading->font();
  headingFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.7);
  heading->setFont(headingFont);
  header->addWidget(heading);
  header->addStretch(1);
  autoLogin_ = new LoginCheckBox(QStringLiteral("AUTO LOGIN"), this);
  autoLogin_->setFont(VantrelTheme::font(11, QFont::Medium));
  autoLogin_->setCursor(Qt::PointingHandCursor);
  autoLogin_->setToolTip(QString::fromUtf8(LoginScreenPresenter::autoLoginToolTip.data(),
                                           static_cast<int>(LoginScreenPresenter::autoLoginToolTip.size())));
  QObject::connect(autoLogin_, &QCheckBox::clicked, this,
                   [this](bool checked) { presenter_.userToggledAutoLogin(checked); });
  header->addWidget(autoLogin_);
  content->addLayout(header);
  content->addWidget(buildForm());
  content->addWidget(buildStatusLine());
  content->addWidget(buildFooter(versionText));
  content->addStretch(1);
  column->addLayout(content, 1);
  // Tab walks the screen in reading order, each control showing a ring while it has the focus.
  const QList<QWidget*> readingOrder{gear_,        menu_,           autoLogin_,         account_,
                                     password_,    setupName_,      clientNumber_,      question_,
                                     loginButton_, permissionLink_, permissionsFooter_, logFooter_};
  for (qsizetype i = 0; i + 1 < readingOrder.size(); ++i) setTabOrder(readingOrder[i], readingOrder[i + 1]);
  // CLIENT NUM and "?" touch: where they meet, each ring keeps inside its own control.
  for (QWidget* control : readingOrder) {
    const Qt::Edges inside = control == clientNumber_ ? Qt::RightEdge
                             : control == question_   ? Qt::LeftEdge
                                                      : Qt::Edges();
    attachFocusRing(control, loginFocusRingColour(), inside);
  }
  autoLogin_->setAccessibleName(autoLogin_->text());
  loginButton_->setAccessibleName(QStringLiteral("LOG IN"));
  question_->setAccessibleName(QStringLiteral("CLIENT NUM ?"));
}

QWidget* LoginScreenWidget::buildTitleBar() {
  auto* bar = new QWidget(this);
  bar->setFixedHeight(36);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(14, 0, 14, 0);
  row->setSpacing(8);
  row->addWidget(whiteLabel(QStringLiteral("VantrelMac Client"), 13, QFont::Medium, 0.92, bar));
  row->addStretch(1);
  auto* indicator = new QHBoxLayout();
  indicator->setSpacing(5);
  dot_ = new QLabel(bar);
  dot_->setFixedSize(7, 7);
  dotText_ = whiteLabel(QStringLiteral("Offline"), 10, QFont::Medium, 0.94, bar);
  indicator->addWidget(dot_);
  indicator->addWidget(dotText_);
  row->addLayout(indicator);
  gear_ = new QToolButton(bar);
  gear_->setFixedSize(24, 24);
  gear_->setAutoRaise(true);
  gear_->setFocusPolicy(Qt::StrongFocus);
  gear_->setCursor(Qt::PointingHandCursor);
  gear_->setIcon(SymbolIcons::icon(StatusSymbol::gearshapeFill, 13, VantrelTheme::white(0.92)));
  gear_->setIconSize(QSize(13, 13));
  gear_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
  gear_->setToolTip(QString::fromUtf8(LoginScreenPresenter::gearToolTip.data(),
                                      static_cast<int>(LoginScreenPresenter::gearToolTip.size())));
  gear_->setAccessibleName(
      QString::fromUtf8(LoginScreenPresenter::gearAccessibleName.data(),
                        static_cast<int>(LoginScreenPresenter::gearAccessibleName.size())));
  QObject::connect(gear_, &QToolButton::clicked, this, [this] { presenter_.openPanelSheet(); });
  row->addWidget(gear_);
  menu_ = new ApplicationMenuButton(VantrelTheme::white(0.92), bar);
  row->addWidget(menu_);
  return bar;
}

QLineEdit* LoginScreenWidget::makeField(const QString& caption, const QString& placeholder,
                                        StatusFormField field, LoginField focus) {
  // A placeholder that differs from the field's caption describes the field ("Account ID" for
  // ID); one that only repeats it ("Password" for PASSWORD) is a hint for the eye alone.
  QLineEdit* edit = nullptr;
  if (placeholder.compare(caption, Qt::CaseInsensitive) == 0) {
    auto* hinted = new HintLineEdit(this);
    hinted->setHint(placeholder);
    edit = hinted;
  } else {
    edit = new QLineEdit(this);
    edit->setPlaceholderText(placeholder);
  }
  edit->setFont(VantrelTheme::font(12));
  edit->setFixedHeight(25);
  edit->setStyleSheet(QStringLiteral("QLineEdit { color: black; background: %1; border: 1px solid %2; "
                                     "padding: 0 7px; border-radius: 0; }")
                          .arg(colourCss(VantrelTheme::white(0.94)), colourCss(VantrelTheme::black(0.12))));
  QObject::connect(edit, &QLineEdit::textEdited, this, [this, field](const QString& text) {
    presenter_.userEditedText(field, text.toStdString());
  });
  QObject::connect(edit, &QLineEdit::returnPressed, this, [this, focus] {
    if (presenter_.returnPressed(focus) == LoginScreenPresenter::ReturnAction::focusPassword) {
      password_->setFocus(Qt::OtherFocusReason);
    }
  });
  return edit;
}

QWidget* LoginScreenWidget::buildForm() {
  auto* form = new QWidget(this);
  auto* row = new QHBoxLayout(form);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(10);
  row->addStretch(1);
  auto* logo = new ApplicationIconView(44, form);
  logo->setFixedSize(52, 60);
  hideFromAccessibility(logo);
  logo_ = logo;
  row->addWidget(logo);

  account_ = makeField(QStringLiteral("ID"), QStringLiteral("Account ID"), StatusFormField::accountID,
                       LoginField::account);
  password_ = makeField(QStringLiteral("PASSWORD"), QStringLiteral("Password"),
                        StatusFormField::accountPassword, LoginField::password);
  password_->setEchoMode(QLineEdit::Password);
  // Small bullets, as the desktop's secure fields show them.
  password_->setStyleSheet(password_->styleSheet() +
                           QStringLiteral(" QLineEdit { lineedit-password-character: 8226; }"));
  setupName_ = makeField(QStringLiteral("SETUP NAME"), QStringLiteral("This computer"),
                         StatusFormField::setupName, LoginField::setupName);
  clientNumber_ = makeField(QStringLiteral("CLIENT NUM"), QStringLiteral("0"),
                            StatusFormField::requestedClientNumber, LoginField::clientNumber);
  question_ = new QPushButton(QStringLiteral("?"), form);
  question_->setFixedSize(27, 25);
  question_->setFont(VantrelTheme::font(11, QFont::Bold));
  question_->setCursor(Qt::PointingHandCursor);
  question_->setStyleSheet(
      QStringLiteral("QPushButton { color: rgb(%1,%2,%3); background: %4; border: none; }")
          .arg(VantrelTheme::eightBit(0.20))
          .arg(VantrelTheme::eightBit(0.35))
          .arg(VantrelTheme::eightBit(0.45))
          .arg(colourCss(VantrelTheme::white(0.72))));
  QObject::connect(question_, &QPushButton::clicked, this, [this] { presenter_.openPanelSheet(); });

  auto* rows = new QVBoxLayout();
  rows->setSpacing(7);
  const auto addRow = [&](const QString& title, QWidget* content, int contentWidth, QWidget* field) {
    auto* line = new QHBoxLayout();
    line->setSpacing(8);
    auto* label = whiteLabel(title, 11, QFont::DemiBold, 0.94, form);
    label->setFixedWidth(captionColumnWidth);
    label->setFont(fittedCaptionFont(label->font(), title, captionColumnWidth));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The caption names its field for assistive technology and gives it a mnemonic target.
    label->setBuddy(field);
    field->setAccessibleName(title);
    line->addWidget(label);
    content->setFixedSize(contentWidth, 25);
    line->addWidget(content);
    rows->addLayout(line);
  };
  addRow(QStringLiteral("ID"), account_, 140, account_);
  addRow(QStringLiteral("PASSWORD"), password_, 140, password_);
  addRow(QStringLiteral("SETUP NAME"), setupName_, 140, setupName_);
  auto* clientBox = new QWidget(form);
  auto* clientRow = new QHBoxLayout(clientBox);
  clientRow->setContentsMargins(0, 0, 0, 0);
  clientRow->setSpacing(0);
  clientNumber_->setFixedWidth(140 - 27);
  clientRow->addWidget(clientNumber_);
  clientRow->addWidget(question_);
  addRow(QStringLiteral("CLIENT NUM"), clientBox, 140, clientNumber_);
  row->addLayout(rows);

  loginButton_ = new LoginButton(form);
  QObject::connect(loginButton_, &LoginButton::clicked, this, [this] { presenter_.submitLogin(); });
  row->addWidget(loginButton_);
  row->addStretch(1);
  return form;
}

QWidget* LoginScreenWidget::buildStatusLine() {
  auto* line = new QWidget(this);
  line->setFixedHeight(16);
  auto* row = new QHBoxLayout(line);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(7);
  statusSymbol_ = new SymbolLabel(12, line);
  row->addWidget(statusSymbol_);
  statusMessage_ = new ElidedLabel(line);
  statusMessage_->setFont(VantrelTheme::font(10, QFont::Medium));
  statusMessage_->setStyleSheet(
      QStringLiteral("color: %1; background: transparent;").arg(colourCss(VantrelTheme::white(0.94))));
  statusMessage_->setMinimumWidth(10);
  statusMessage_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  row->addWidget(statusMessage_, 1);
  permissionLink_ =
      plainButton(QString::fromUtf8(LoginScreenPresenter::permissionLinkText.data(),
                                    static_cast<int>(LoginScreenPresenter::permissionLinkText.size())),
                  10, QFont::Medium, colourCss(VantrelTheme::white(0.94)), line);
  QFont underlined = permissionLink_->font();
  underlined.setUnderline(true);
  permissionLink_->setFont(underlined);
  QObject::connect(permissionLink_, &QPushButton::clicked, this, [this] { presenter_.openPanelSheet(); });
  row->addWidget(permissionLink_);
  return line;
}

QWidget* LoginScreenWidget::buildFooter(const QString& versionText) {
  auto* footer = new QWidget(this);
  auto* row = new QHBoxLayout(footer);
  row->setContentsMargins(0, 0, 0, 0);
  const QString colour = colourCss(VantrelTheme::white(0.94));
  row->addWidget(whiteLabel(versionText, 10, QFont::Normal, 0.94, footer));
  row->addStretch(1);
  permissionsFooter_ = plainButton(QStringLiteral("Permissions"), 10, QFont::Normal, colour, footer);
  logFooter_ = plainButton(QStringLiteral("Connection log"), 10, QFont::Normal, colour, footer);
  QObject::connect(permissionsFooter_, &QPushButton::clicked, this, [this] { presenter_.openPanelSheet(); });
  QObject::connect(logFooter_, &QPushButton::clicked, this, [this] { presenter_.openPanelSheet(); });
  row->addWidget(permissionsFooter_);
  row->addWidget(whiteLabel(QStringLiteral("\u2022"), 10, QFont::Normal, 0.94, footer));
  row->addWidget(logFooter_);
  return footer;
}

void LoginScreenWidget::render(const StatusViewState& state) {
  const LoginScreenLook look = LoginScreenPresenter::look(state);
  showText(account_, state.accountID);
  showText(password_, state.accountPassword);
  showText(setupName_, state.setupName);
  showText(clientNumber_, state.requestedClientNumberText);
  if (autoLogin_->isChecked() != state.rememberAccountID) autoLogin_->setChecked(state.rememberAccountID);

  // A disabled button drops the focus to the next control in the chain ("Permissions"), where a
  // retyped password would go astray: a sign-in started from the button hands it to PASSWORD.
  if (!look.buttonEnabled && loginButton_->hasFocus()) password_->setFocus(Qt::OtherFocusReason);
  loginButton_->setEnabled(look.buttonEnabled);
  loginButton_->setLook(QString::fromStdString(look.buttonTitle), look.buttonSymbol, look.buttonShowsSpinner,
                        look.buttonOpacity);
  statusSymbol_->setSymbol(look.statusSymbol,
                           look.statusSymbolWarns ? SymbolIcons::yellow() : QColor(Qt::white));
  statusMessage_->setFullText(QString::fromStdString(look.statusMessage));
  dot_->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;")
                          .arg(look.connectionDotOnline ? SymbolIcons::green().name()
                                                        : colourCss(VantrelTheme::white(0.45))));
  dotText_->setText(QString::fromStdString(look.connectionDotText));
  permissionLink_->setVisible(look.permissionLinkShown);
}

void LoginScreenWidget::showEvent(QShowEvent* event) {
  LoginBackdrop::showEvent(event);
  if (std::exchange(openedOnce_, true)) return;
  // A window that never had the focus gives it, once activated, to the first control of its chain:
  // the gear. The screen opens with the typing place instead, the first empty field, chosen once
  // the fields show what was saved (their first state is queued behind this show).
  QTimer::singleShot(0, this, [this] {
    QWidget* focused = window()->focusWidget();
    if (focused == nullptr || focused == gear_) firstEmptyField()->setFocus(Qt::OtherFocusReason);
  });
}

QLineEdit* LoginScreenWidget::firstEmptyField() const {
  for (QLineEdit* field : {account_, password_, setupName_, clientNumber_})
    if (field->text().isEmpty()) return field;
  return account_;
}

QLabel* LoginScreenWidget::captionOf(const QWidget* field) const {
  for (QLabel* label : findChildren<QLabel*>()) {
    if (label->buddy() == field) return label;
  }
  return nullptr;
}

}  // namespace vantrel

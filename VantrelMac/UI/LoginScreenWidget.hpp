#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QString>
#include <QTimer>

#include "Model/Status/LoginScreenPresenter.hpp"
#include "Model/Status/WindowPresenter.hpp"
#include "WindowChrome.hpp"

class QLineEdit;
class QPushButton;
class QToolButton;

namespace vantrel {

// The width of the column of field captions.
inline constexpr int captionColumnWidth = 68;

// `font` with its letters drawn close enough together for `text` to fit `width` pixels, when a
// small tightening does it; otherwise as tight as allowed.
QFont fittedCaptionFont(const QFont& font, const QString& text, int width);

// Shows the model's text in a field without disturbing an edit in progress (no change, no call).
void showText(QLineEdit* edit, const std::string& value);

// The LOG IN button: a filled 80 × 118 rectangle with a symbol (or a spinner while a login runs)
// above a one- or two-line title, drawn at the opacity the login screen decides.
class LoginButton : public QAbstractButton {
 public:
  explicit LoginButton(QWidget* parent = nullptr);
  void setLook(const QString& title, StatusSymbol symbol, bool spinner, double opacity);
  double opacity() const noexcept { return opacity_; }
  bool showsSpinner() const noexcept { return spinner_; }
  QSize sizeHint() const override { return {80, 118}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  StatusSymbol symbol_ = StatusSymbol::arrowRightCircleFill;
  bool spinner_ = false;
  double opacity_ = 0.62;
  int spinnerStep_ = 0;
  QTimer spinnerTimer_;
};

// A small painted status symbol (status line, title bar dot).
class SymbolLabel : public QWidget {
 public:
  SymbolLabel(int size, QWidget* parent = nullptr);
  void setSymbol(StatusSymbol symbol, const QColor& colour);
  StatusSymbol symbol() const noexcept { return symbol_; }
  QColor colour() const { return colour_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  StatusSymbol symbol_ = StatusSymbol::circleDotted;
  QColor colour_;
};

// The AUTO LOGIN switch in the desktop's checkbox look, drawn light on the dark backdrop.
class LoginCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// One line of text cut with an ellipsis to the width it gets. The full text is its accessible name,
// and shows as a tooltip while the line is cut; it has no accessible description, so that a screen
// reader reads the text once.
class ElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;
  void setFullText(const QString& text);
  QString fullText() const { return full_; }

 protected:
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void elide();
  QString full_;
};

// The login presentation: title bar, account form, status line and footer over the backdrop.
class LoginScreenWidget : public LoginBackdrop {
 public:
  LoginScreenWidget(StatusWindowPresenter& presenter, const QString& versionText, QWidget* parent = nullptr);

  void render(const StatusViewState& state);

  QLineEdit* accountField() const { return account_; }
  QLineEdit* passwordField() const { return password_; }
  QLineEdit* setupNameField() const { return setupName_; }
  QLineEdit* clientNumberField() const { return clientNumber_; }
  LoginCheckBox* autoLoginBox() const { return autoLogin_; }
  LoginButton* loginButton() const { return loginButton_; }
  QToolButton* gearButton() const { return gear_; }
  // The tray menu's button, shown only where the desktop has no tray.
  QToolButton* menuButton() const { return menu_; }
  QPushButton* questionButton() const { return question_; }
  QPushButton* permissionLink() const { return permissionLink_; }
  QPushButton* permissionsFooterButton() const { return permissionsFooter_; }
  QPushButton* connectionLogFooterButton() const { return logFooter_; }
  ElidedLabel* statusMessageLabel() const { return statusMessage_; }
  SymbolLabel* statusSymbolLabel() const { return statusSymbol_; }
  QLabel* connectionDotLabel() const { return dotText_; }
  QLabel* connectionDot() const { return dot_; }
  QString statusMessage() const { return statusMessage_->fullText(); }
  QWidget* logo() const { return logo_; }
  // Where the focus goes when the screen opens: the first empty field of the form, else ID.
  QLineEdit* firstEmptyField() const;
  // The caption whose buddy is `field` (null when it has none).
  QLabel* captionOf(const QWidget* field) const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* buildTitleBar();
  QWidget* buildForm();
  QWidget* buildStatusLine();
  QWidget* buildFooter(const QString& versionText);
  // A field of the form named `caption`, showing `placeholder` while empty.
  QLineEdit* makeField(const QString& caption, const QString& placeholder, StatusFormField field,
                       LoginScreenPresenter::LoginField focus);

  StatusWindowPresenter& presenter_;
  QLineEdit* account_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLineEdit* setupName_ = nullptr;
  QLineEdit* clientNumber_ = nullptr;
  LoginCheckBox* autoLogin_ = nullptr;
  LoginButton* loginButton_ = nullptr;
  QToolButton* gear_ = nullptr;
  bool openedOnce_ = false;  // the first show places the focus
  QToolButton* menu_ = nullptr;
  QPushButton* question_ = nullptr;
  QPushButton* permissionLink_ = nullptr;
  QPushButton* permissionsFooter_ = nullptr;
  QPushButton* logFooter_ = nullptr;
  ElidedLabel* statusMessage_ = nullptr;
  SymbolLabel* statusSymbol_ = nullptr;
  QLabel* dot_ = nullptr;
  QLabel* dotText_ = nullptr;
  QWidget* logo_ = nullptr;
};

}  // namespace vantrel

#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

#include "ConnectionPanelWidget.hpp"
#include "LoginScreenWidget.hpp"
#include "Model/Status/WindowPresenter.hpp"
#include "WindowChrome.hpp"

class QMenu;
class QStackedWidget;

namespace vantrel {

// The panel sheet over the login screen; closing it by any means is the panel's close action.
class PanelSheet : public QDialog {
 public:
  PanelSheet(StatusWindowPresenter& presenter, const UpdateBoxFactory& updateBox, QWidget* parent);
  ConnectionPanelWidget* panel() const { return panel_; }
  void reject() override;

 private:
  StatusWindowPresenter& presenter_;
  ConnectionPanelWidget* panel_;
};

// The status window: the login presentation or the connection panel, and the panel sheet.
class StatusWindowWidget : public QWidget {
 public:
  StatusWindowWidget(StatusWindowPresenter& presenter, const QString& versionText,
                     const UpdateBoxFactory& updateBox, QWidget* parent = nullptr);

  // Where the desktop shows no tray, the tray's menu opens from a button in each presentation
  // (and the sheet) instead.
  void offerApplicationMenu(QMenu* menu);
  // The window's close button asks here instead of closing.
  void setCloseHandler(std::function<void()> handler) { closeHandler_ = std::move(handler); }

  LoginScreenWidget* loginScreen() const { return login_; }
  ConnectionPanelWidget* windowPanel() const { return panel_; }
  PanelSheet* sheet() const { return sheet_; }
  bool showsConnectionPanel() const;
  // The resizer of the presentation on screen.
  WindowContentResizer* contentResizer() const { return resizer_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void render(const StatusViewState& state);
  // Shows the page waiting for the window to grow once the window holds it whole; true when it
  // came on show.
  bool showPendingPageIfItFits();
  // Centres the page on show in the window.
  void placePage();

  StatusWindowPresenter& presenter_;
  QStackedWidget* pages_ = nullptr;
  LoginScreenWidget* login_ = nullptr;
  ConnectionPanelWidget* panel_ = nullptr;
  PanelSheet* sheet_ = nullptr;
  QPointer<WindowContentResizer> resizer_;
  QWidget* pendingPage_ = nullptr;
  std::function<void()> closeHandler_;
  bool connectionPresentation_ = false;
  bool stale_ = true;
  // What the pages show now: the state they were last rendered with, the page then on show and
  // whether the sheet was wanted.
  struct Rendered {
    StatusViewState state;
    const QWidget* page = nullptr;
    bool sheet = false;
  };
  std::optional<Rendered> rendered_;
};

}  // namespace vantrel

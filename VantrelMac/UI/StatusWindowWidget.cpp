#include "StatusWindowWidget.hpp"

#include <QCloseEvent>
#include <QResizeEvent>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "WindowChrome.hpp"

namespace vantrel {

PanelSheet::PanelSheet(StatusWindowPresenter& presenter, const UpdateBoxFactory& updateBox, QWidget* parent)
    : QDialog(parent), presenter_(presenter) {
  setWindowModality(Qt::WindowModal);
  setModal(true);
  // The panel's title names the sheet, for the window manager and for assistive technology.
  setWindowTitle(QString::fromUtf8(ConnectionPanelPresenter::title.data(),
                                   static_cast<qsizetype>(ConnectionPanelPresenter::title.size())));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  panel_ = new ConnectionPanelWidget(presenter, true, updateBox, this);
  layout->addWidget(panel_);
  setFixedSize(panelContentSize.width, panelContentSize.height);
}

void PanelSheet::reject() { presenter_.closePanel(true); }

StatusWindowWidget::StatusWindowWidget(StatusWindowPresenter& presenter, const QString& versionText,
                                       const UpdateBoxFactory& updateBox, QWidget* parent)
    : QWidget(parent), presenter_(presenter) {
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
  // No layout: each page keeps its own fixed size and sits centred in the window (see
  // placePage), also while the window's size moves between the two pages' sizes.
  pages_ = new QStackedWidget(this);
  login_ = new LoginScreenWidget(presenter, versionText, pages_);
  panel_ = new ConnectionPanelWidget(presenter, false, updateBox, pages_);
  pages_->addWidget(login_);
  pages_->addWidget(panel_);
  sheet_ = new PanelSheet(presenter, updateBox, this);
  setFixedSize(loginContentSize.width, loginContentSize.height);
  resizer_ = new WindowContentResizer(QSize(loginContentSize.width, loginContentSize.height), login_);
  presenter_.addView([this](const StatusViewState& state) { render(state); });
}

void StatusWindowWidget::offerApplicationMenu(QMenu* menu) {
  for (QToolButton* button : {login_->menuButton(), panel_->menuButton(), sheet_->panel()->menuButton()}) {
    button->setMenu(menu);
    button->show();
  }
}

bool StatusWindowWidget::showsConnectionPanel() const { return pages_->currentWidget() == panel_; }

bool StatusWindowWidget::showPendingPageIfItFits() {
  if (pendingPage_ == nullptr) return false;
  const QSize page = pendingPage_->size();
  if (page.width() > width() || page.height() > height()) return false;
  pages_->setCurrentWidget(pendingPage_);
  pendingPage_ = nullptr;
  placePage();
  return true;
}

void StatusWindowWidget::placePage() {
  const QSize page = pages_->currentWidget()->size();
  pages_->setGeometry(QRect(QPoint((width() - page.width()) / 2, (height() - page.height()) / 2), page));
}

void StatusWindowWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (showPendingPageIfItFits()) {
    rendered_.reset();
    if (isVisible()) {
      render(presenter_.model().state());
    } else {
      stale_ = true;
    }
  }
  placePage();
}

void StatusWindowWidget::render(const StatusViewState& state) {
  // A hidden window costs nothing: it catches up when it is shown again.
  if (!isVisible()) {
    stale_ = true;
    return;
  }
  stale_ = false;
  const bool connection = presenter_.showConnectionWindow();
  if (connection != connectionPresentation_) {
    connectionPresentation_ = connection;
    // Each presentation brings its own content size; the window follows, keeping its centre.
    // While it moves, the page on show is one that fits whole in every size on the way: a
    // smaller page comes at once, a larger one when the window has grown to it.
    QWidget* next = connection ? static_cast<QWidget*>(panel_) : static_cast<QWidget*>(login_);
    pendingPage_ = next;
    showPendingPageIfItFits();
    // Only the new presentation has a resizer: it schedules its window size.
    const PixelSize size = connection ? panelContentSize : loginContentSize;
    if (resizer_) resizer_->deleteLater();
    resizer_ = new WindowContentResizer(QSize(size.width, size.height), next);
  }
  const bool sheetWanted = presenter_.showSettings();
  // The model announces every assignment, also of a value it already holds (its polls set
  // unchanged values twice a second): the pages are rendered only when what they show differs.
  QWidget* const onShow = pages_->currentWidget();
  if (!rendered_ || rendered_->page != onShow || rendered_->sheet != sheetWanted ||
      !(rendered_->state == state)) {
    // The page on show is the one rendered, also the page on its way out while the window grows
    // towards a larger one: every part of it tells the model's state of the moment. A page waiting
    // for the window to grow is rendered when it comes on show, with the state of that moment:
    // its lists lay themselves out for the size they are shown at.
    if (onShow == panel_) {
      panel_->render(state);
    } else {
      login_->render(state);
    }
    if (sheetWanted) sheet_->panel()->render(state);
    rendered_ = Rendered{state, onShow, sheetWanted};
  }
  if (sheetWanted && !sheet_->isVisible()) {
    sheet_->show();
  } else if (!sheetWanted && sheet_->isVisible()) {
    sheet_->hide();
  }
}

void StatusWindowWidget::closeEvent(QCloseEvent* event) {
  // The window is never closed: its controller hides it (or minimises it without a tray).
  event->ignore();
  if (closeHandler_) closeHandler_();
}

void StatusWindowWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  // Before the map: the window manager takes the window on as one the user cannot resize, and
  // keeps drawing the same frame through the program's own resizes.
  offerNoUserResize(this);
  if (stale_) render(presenter_.model().state());
  presenter_.viewAppeared();
}

}  // namespace vantrel

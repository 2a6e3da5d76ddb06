#pragma once

#include <QAbstractButton>
#include <QTextEdit>
#include <QWidget>

#include <functional>
#include <string_view>
#include <vector>

#include "Model/Status/ConnectionPanelPresenter.hpp"
#include "Model/Status/WindowPresenter.hpp"

class QLabel;
class QToolButton;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vantrel {

class SymbolLabel;

// The disclosure control of a collapsible group: a triangle pointing right (closed) or down (open)
// and the group's title, with no button face. Assistive technology hears a button that expands
// and whether it is expanded, not a check box.
class DisclosureButton : public QAbstractButton {
 public:
  DisclosureButton(const QString& title, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  static constexpr int triangleBox = 13;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// Builds the update box shown at the top of the panel (the updater supplies it).
using UpdateBoxFactory = std::function<QWidget*(QWidget* parent)>;

// The connection panel: title bar with its close button, then a scrolling column with the update
// box, the permissions, the displays and connection state with the direct-connection form, and
// the diagnostic log. The same panel serves as window content and as the sheet.
class ConnectionPanelWidget : public QWidget {
 public:
  ConnectionPanelWidget(StatusWindowPresenter& presenter, bool isModal, const UpdateBoxFactory& updateBox,
                        QWidget* parent = nullptr);

  void render(const StatusViewState& state);

  bool isModal() const noexcept { return isModal_; }
  QPushButton* closeButton() const { return close_; }
  // The tray menu's button, shown only where the desktop has no tray.
  QToolButton* menuButton() const { return menu_; }
  QPushButton* connectButton() const { return connect_; }
  QPushButton* disconnectButton() const { return disconnect_; }
  QPushButton* copyButton() const { return copy_; }
  QPushButton* clearButton() const { return clear_; }
  QScrollArea* scrollArea() const { return scroll_; }
  QPushButton* refreshButton() const { return refresh_; }
  DisclosureButton* disclosureButton() const { return disclosure_; }
  QWidget* disclosureContent() const { return directForm_; }
  QTextEdit* logList() const { return log_; }
  // Pixels between two entries of the log list.
  static constexpr int logLineSpacing = 4;
  QLabel* displayCountLabel() const { return displayCount_; }
  std::vector<QLabel*> displayLines() const { return displayLines_; }
  QLabel* stateValue() const { return stateValue_; }
  QLabel* sessionsValue() const { return sessionsValue_; }
  QLineEdit* hostField() const { return host_; }
  QLineEdit* portField() const { return port_; }
  QLineEdit* slotField() const { return slot_; }
  QLineEdit* userIDField() const { return userID_; }

  struct PermissionRowWidgets {
    SymbolLabel* symbol = nullptr;
    QLabel* title = nullptr;
    QLabel* detail = nullptr;
    QPushButton* request = nullptr;
    QPushButton* open = nullptr;
    QLabel* note = nullptr;  // the desktop's answer to the buttons, under the whole row
  };
  const PermissionRowWidgets& screenRecordingRow() const { return screenRow_; }
  const PermissionRowWidgets& accessibilityRow() const { return accessRow_; }

 private:
  QWidget* buildPermissions();
  QWidget* buildDisplays();
  QWidget* buildLog();
  QWidget* settingsField(const QString& title, QLineEdit*& edit, StatusFormField field);
  PermissionRowWidgets permissionRow(QVBoxLayout* into, std::string_view permission,
                                     const std::function<void()>& request, const std::function<void()>& open);
  void renderPermission(PermissionRowWidgets& row, const PermissionRowLook& look);
  void renderLog(const StatusViewState& state);
  // Scrolls the column so that `target` is in view once the layout has made room for it.
  void bringIntoView(QWidget* target);

  StatusWindowPresenter& presenter_;
  bool isModal_;
  QScrollArea* scroll_ = nullptr;
  QPushButton* close_ = nullptr;
  QToolButton* menu_ = nullptr;
  QPushButton* connect_ = nullptr;
  QPushButton* disconnect_ = nullptr;
  QPushButton* copy_ = nullptr;
  QPushButton* clear_ = nullptr;
  QPushButton* refresh_ = nullptr;
  DisclosureButton* disclosure_ = nullptr;
  QWidget* directForm_ = nullptr;
  QTextEdit* log_ = nullptr;
  QLabel* displayCount_ = nullptr;
  QVBoxLayout* displayList_ = nullptr;
  std::vector<QLabel*> displayLines_;
  std::vector<std::string> shownDisplays_;
  QLabel* stateValue_ = nullptr;
  QLabel* sessionsValue_ = nullptr;
  QLineEdit* host_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* slot_ = nullptr;
  QLineEdit* userID_ = nullptr;
  PermissionRowWidgets screenRow_;
  PermissionRowWidgets accessRow_;
  std::vector<Uuid> shownLog_;
  Uuid shownLogToken_;
  bool logShown_ = false;
};

}  // namespace vantrel

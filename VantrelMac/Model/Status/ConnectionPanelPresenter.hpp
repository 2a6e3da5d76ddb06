#pragma once

// What the connection panel shows, decided from the model's state alone: button titles and
// enabling, permission rows, display lines, and how the log list changes between two states
// without moving what the user is reading.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Model/Status/LoginScreenPresenter.hpp"
#include "Model/Status/StatusViewPort.hpp"

namespace vantrel {

struct PermissionRowLook {
  std::string title;
  bool granted = false;
  StatusSymbol symbol = StatusSymbol::exclamationmarkTriangleFill;  // green check or orange warning
  std::string detail;               // "Granted" / "Required for remote control"
  std::optional<std::string> note;  // the desktop's answer to the row's buttons, once pressed
};

struct ConnectionPanelLook {
  std::string closeButtonTitle;  // "Done" in the sheet, "Login Screen" as window content
  PermissionRowLook screenRecording;
  PermissionRowLook accessibility;
  std::string displayCountLabel;
  std::vector<std::string> displayLines;
  std::string stateLabel;
  std::string managerSessionsLabel;
  bool connectEnabled = false;
  bool disconnectEnabled = false;
  bool copyEnabled = false;
  bool clearEnabled = false;
};

// How to bring a shown log list up to date: drop lines at the front, append the rest, or start
// over (after Clear, or when nothing shown is left).
struct LogListChange {
  bool reset = false;
  std::size_t dropFront = 0;
  std::size_t appendFrom = 0;  // index into the new entries of the first line to append
};

namespace ConnectionPanelPresenter {

inline constexpr std::string_view title = "VantrelMac Connection";
inline constexpr std::string_view screenRecordingTitle = "Screen Recording";
inline constexpr std::string_view accessibilityTitle = "Accessibility";
// The answers of a grant's buttons: where the desktop's own services do the work (X11, GNOME's
// compositor services), and where the desktop has none the agent can use.
inline constexpr std::string_view noPermissionNeededNote =
    "This desktop needs no permission for this; there is nothing to set.";
inline constexpr std::string_view unsupportedDesktopPermissionNote =
    "This Wayland desktop offers no service the agent can use. Choose an X11 session at the login screen.";

ConnectionPanelLook look(const StatusViewState& state, bool isModal);
PermissionRowLook permissionRow(std::string title, bool granted);

// "HH:mm:ss.SSS" in local time, two blanks, the text.
std::string logLine(const StatusLogLine& entry);
std::string formatLogTime(std::chrono::system_clock::time_point time);

LogListChange logChange(const std::vector<Uuid>& shown, const std::deque<StatusLogLine>& entries);

}  // namespace ConnectionPanelPresenter
}  // namespace vantrel

#include "Model/Status/ConnectionPanelPresenter.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace vantrel::ConnectionPanelPresenter {

PermissionRowLook permissionRow(std::string title, bool granted) {
  PermissionRowLook row;
  row.title = std::move(title);
  row.granted = granted;
  row.symbol = granted ? StatusSymbol::checkmarkCircleFill : StatusSymbol::exclamationmarkTriangleFill;
  row.detail = granted ? "Granted" : "Required for remote control";
  return row;
}

ConnectionPanelLook look(const StatusViewState& state, bool isModal) {
  ConnectionPanelLook look;
  look.closeButtonTitle = isModal ? "Done" : "Login Screen";
  look.screenRecording =
      permissionRow(std::string(screenRecordingTitle), state.permissions.screenRecordingGranted);
  look.accessibility = permissionRow(std::string(accessibilityTitle), state.permissions.accessibilityTrusted);
  look.screenRecording.note = state.screenRecordingNote;
  look.accessibility.note = state.accessibilityNote;
  look.displayCountLabel = state.displayCountLabel;
  for (const auto& display : state.displays) look.displayLines.push_back(display.summary());
  look.stateLabel = state.connectionStateLabel;
  look.managerSessionsLabel = state.managerConnectionsLabel;
  look.connectEnabled = state.canConnect;
  look.disconnectEnabled = state.canDisconnect || state.isConnectionBusy;
  look.copyEnabled = !state.diagnosticLog.empty();
  look.clearEnabled = !state.diagnosticLog.empty();
  return look;
}

std::string formatLogTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto sinceEpoch = time.time_since_epoch();
  auto secs = duration_cast<seconds>(sinceEpoch);
  auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
  if (millis < 0) {  // times before 1970 still show a positive fraction
    millis += 1000;
    secs -= seconds(1);
  }
  const std::time_t whole = static_cast<std::time_t>(secs.count());
  std::tm local{};
  localtime_r(&whole, &local);
  return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, millis);
}

std::string logLine(const StatusLogLine& entry) { return formatLogTime(entry.timestamp) + "  " + entry.text; }

LogListChange logChange(const std::vector<Uuid>& shown, const std::deque<StatusLogLine>& entries) {
  LogListChange change;
  if (shown.empty()) {
    change.reset = true;
    return change;
  }
  // The first new entry that is still shown tells how many shown lines fell off the front.
  std::size_t firstKept = shown.size();
  if (!entries.empty()) {
    const auto it = std::find(shown.begin(), shown.end(), entries.front().id);
    firstKept = static_cast<std::size_t>(it - shown.begin());
  }
  if (firstKept == shown.size()) {
    change.reset = true;
    return change;
  }
  const std::size_t kept = shown.size() - firstKept;
  // What is kept must match the new entries one for one; anything else starts over.
  if (kept > entries.size()) {
    change.reset = true;
    return change;
  }
  for (std::size_t i = 0; i < kept; ++i) {
    if (shown[firstKept + i] != entries[i].id) {
      change.reset = true;
      return change;
    }
  }
  change.dropFront = firstKept;
  change.appendFrom = kept;
  return change;
}

}  // namespace vantrel::ConnectionPanelPresenter

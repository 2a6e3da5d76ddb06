#include "DesktopMotion.hpp"

#include "Model/Status/DiagnosticLog.hpp"
#include "Platform/X11/XSettings.hpp"

#include <QSocketNotifier>

namespace vantrel {
namespace {

// Read by the window's animations on the main thread, where the setting is followed too.
std::optional<bool> desktopAnimations;
const DesktopMotionSetting* activeSetting = nullptr;

}  // namespace

DesktopMotionSetting::DesktopMotionSetting(const std::optional<std::string>& displayName, QObject* parent)
    : QObject(parent) {
  try {
    watcher_ = std::make_unique<XSettingsWatcher>(displayName);
  } catch (const X11CaptureError& error) {
    programLog().info("VantrelMac reads no desktop motion setting: {}", error.detail());
    return;
  }
  activeSetting = this;
  publish();
  notifier_ = new QSocketNotifier(watcher_->fileDescriptor(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    if (watcher_->processEvents()) publish();
    // A lost connection stays readable: stop listening rather than spin on it.
    if (watcher_->connectionLost()) notifier_->setEnabled(false);
  });
  // Events Xlib already read into its queue make the descriptor quiet: take them in now.
  if (watcher_->processEvents()) publish();
}

DesktopMotionSetting::~DesktopMotionSetting() {
  if (activeSetting == this) {
    activeSetting = nullptr;
    desktopAnimations.reset();
  }
}

std::optional<bool> DesktopMotionSetting::animationsEnabled() { return desktopAnimations; }

void DesktopMotionSetting::publish() {
  if (activeSetting != this) return;
  const auto value = watcher_->settings().integer(settingName);
  desktopAnimations = value ? std::optional<bool>(*value != 0) : std::nullopt;
}

}  // namespace vantrel

#pragma once

#include <QObject>

#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;

namespace vantrel {

class XSettingsWatcher;

// Whether the desktop lets windows animate: its "Gtk/EnableAnimations" XSETTINGS value (GNOME,
// Xfce, MATE and Cinnamon publish the user's choice there), read at construction and followed
// while the object lives. One object serves the process; the window's animations ask it through
// WindowContentResizer::prefersReducedMotion. Without a reachable display or a settings manager
// the desktop has no answer.
class DesktopMotionSetting : public QObject {
 public:
  // Watches the display `displayName` (the DISPLAY variable when none).
  explicit DesktopMotionSetting(const std::optional<std::string>& displayName = std::nullopt,
                                QObject* parent = nullptr);
  ~DesktopMotionSetting() override;

  // The desktop's answer now: true when it lets windows animate, false when the user turned
  // animations off, nullopt when it publishes nothing.
  static std::optional<bool> animationsEnabled();

  static constexpr const char* settingName = "Gtk/EnableAnimations";

 private:
  void publish();

  std::unique_ptr<XSettingsWatcher> watcher_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vantrel

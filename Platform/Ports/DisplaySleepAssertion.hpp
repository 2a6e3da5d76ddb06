#pragma once

// Holding the display awake: the X server's screen saver (MIT-SCREEN-SAVER) suspended on a
// connection kept open for as long as the hold lasts. The server also stops its display power
// saving while the screen saver is suspended, and ends the suspension by itself if the connection
// goes away, so a crashed agent never leaves the display awake for good.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct _XDisplay;  // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace vantrel {

class DisplaySleepAssertion {
 public:
  virtual ~DisplaySleepAssertion() = default;
  // Restarts the idle timer as if the user had just used the keyboard or mouse (holds nothing);
  // false when there is no display.
  virtual bool declareUserActivity() = 0;
  // Suspends the screen saver; false when there is no display or it lacks the extension.
  virtual bool acquire() = 0;
  // Ends the suspension.
  virtual void release() = 0;
};

class ScreenSaverDisplaySleepAssertion final : public DisplaySleepAssertion {
 public:
  // `displayName` replaces DISPLAY (tests).
  explicit ScreenSaverDisplaySleepAssertion(std::optional<std::string> displayName = std::nullopt);
  // Closes the connection, which ends a suspension still held.
  ~ScreenSaverDisplaySleepAssertion() override;
  ScreenSaverDisplaySleepAssertion(const ScreenSaverDisplaySleepAssertion&) = delete;
  ScreenSaverDisplaySleepAssertion& operator=(const ScreenSaverDisplaySleepAssertion&) = delete;

  bool declareUserActivity() override;
  bool acquire() override;
  void release() override;

 private:
  struct Connection {
    _XDisplay* display = nullptr;
    std::atomic<bool> lost{false};
    bool hasSuspend = false;
  };
  // The kept connection, reopened after the server went away; nullptr when none can be opened.
  Connection* connection();
  void close();
  void closeIfLost();

  std::optional<std::string> displayName_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace vantrel

struct sd_bus;

namespace vantrel {

// Holding the display awake on a Wayland desktop: an idle inhibition from the session manager
// (org.gnome.SessionManager.Inhibit, flag 8 "idle"), else from the freedesktop screen saver
// (org.freedesktop.ScreenSaver.Inhibit). Either lasts only while the bus connection that asked for
// it lives, so the connection is kept for as long as the hold, and a crashed agent leaves nothing
// held.
class SessionInhibitDisplaySleepAssertion final : public DisplaySleepAssertion {
 public:
  SessionInhibitDisplaySleepAssertion();
  // Ends a hold still in place.
  ~SessionInhibitDisplaySleepAssertion() override;
  SessionInhibitDisplaySleepAssertion(const SessionInhibitDisplaySleepAssertion&) = delete;
  SessionInhibitDisplaySleepAssertion& operator=(const SessionInhibitDisplaySleepAssertion&) = delete;

  // The screen saver's SimulateUserActivity, where one is on the bus.
  bool declareUserActivity() override;
  // False when neither service is there or both refuse.
  bool acquire() override;
  void release() override;

  // Which service holds the display now (tests and logs); empty when none.
  std::string holder() const;

 private:
  mutable std::mutex mutex_;
  sd_bus* bus_ = nullptr;
  std::string holder_;
  std::uint32_t cookie_ = 0;
};

}  // namespace vantrel

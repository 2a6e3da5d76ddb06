#pragma once

// Holding the display awake: the X server's screen saver (MIT-SCREEN-SAVER) suspended on a
// connection kept open for as long as the hold lasts. The server also stops its display power
// saving while the screen saver is suspended, and ends the suspension by itself if the connection
// goes away, so a crashed agent never leaves the display awake for good.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Ports/DisplaySleepAssertion.hpp"

struct _XDisplay;  // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace vantrel {

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

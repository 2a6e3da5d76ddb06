#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "Platform/Ports/DisplaySleepAssertion.hpp"

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

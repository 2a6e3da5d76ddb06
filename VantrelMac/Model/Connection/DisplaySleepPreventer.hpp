#pragma once

// Keeps the display from blanking on idle while the status-window application runs, so that a
// manager keeps receiving a live screen. Used only from the main executor.

#include <memory>

namespace vantrel {

class DisplaySleepAssertion;

// The operations the status model uses.
class DisplaySleepPreventing {
 public:
  virtual ~DisplaySleepPreventing() = default;
  // Declares user activity and holds the display awake; true when it is held afterwards.
  virtual bool start() = 0;
  // Lets the display sleep again; nothing when nothing is held.
  virtual void stop() = 0;
};

class DisplaySleepPreventer final : public DisplaySleepPreventing {
 public:
  // Over the X server's screen saver (the display named by DISPLAY), opened at the first start.
  DisplaySleepPreventer();
  explicit DisplaySleepPreventer(std::shared_ptr<DisplaySleepAssertion> backend);
  // Releases a held assertion.
  ~DisplaySleepPreventer() override;
  DisplaySleepPreventer(const DisplaySleepPreventer&) = delete;
  DisplaySleepPreventer& operator=(const DisplaySleepPreventer&) = delete;

  bool start() override;
  void stop() override;

  bool isHeld() const noexcept { return held_; }

 private:
  std::shared_ptr<DisplaySleepAssertion> backend_;
  bool held_ = false;
};

}  // namespace vantrel

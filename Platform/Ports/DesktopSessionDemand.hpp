#pragma once

// Whether a manager is connected now, as far as the desktop's remote-control layers care: every
// authenticated manager session holds a Hold while it lasts. A layer that keeps something open on
// the desktop for managers (the compositor's remote-desktop session) opens it only while someone
// holds, and closes it when the last hold goes.

#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace vantrel {

class DesktopSessionDemand {
 public:
  class Hold {
   public:
    Hold() = default;
    ~Hold() { release(); }
    Hold(Hold&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    void release();

   private:
    friend class DesktopSessionDemand;
    explicit Hold(DesktopSessionDemand* owner) : owner_(owner) {}
    DesktopSessionDemand* owner_ = nullptr;
  };

  // The process's (never destroyed).
  static DesktopSessionDemand& shared();

  DesktopSessionDemand() = default;
  DesktopSessionDemand(const DesktopSessionDemand&) = delete;
  DesktopSessionDemand& operator=(const DesktopSessionDemand&) = delete;

  Hold hold();
  // True while at least one hold lasts.
  bool wanted() const;
  // `onLastRelease` runs, on the releasing thread and without the lock, each time the last hold
  // goes. Registered for the life of the process.
  void whenLastReleased(std::function<void()> onLastRelease);

 private:
  void drop();

  mutable std::mutex mutex_;
  std::size_t holds_ = 0;
  std::vector<std::function<void()>> onLastRelease_;
};

}  // namespace vantrel

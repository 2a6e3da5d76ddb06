#pragma once

// The input events of a remote-desktop session (MutterRemoteDesktop), posted without waiting:
// callers on any thread add events to one ordered queue and return at once; the bus thread sends
// them in order, one at a time, each only once the compositor has answered the one before.
//
// Every event has a time limit, checked right before it is sent: an event whose caller's moment
// has passed is not sent and is reported as failed, so a key never lands seconds late. The one
// exception is a release (key or button) of something this session pressed: it is always sent, so
// nothing stays held. The session's first events wait until its devices have settled, a time the
// bus loop waits for while it serves everything else. Failures are reported afterwards, through
// the event's completion and the log.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace vantrel {

class MutterSessionInput {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the bus thread once the event's fate is known: true when the compositor took it.
  using Done = std::function<void(bool)>;

  enum class Kind { motionAbsolute, button, axisDiscrete, key };
  struct Event {
    Kind kind = Kind::motionAbsolute;
    // The evdev code of a button or key, or the axis.
    std::uint32_t code = 0;
    // Pressed (1) or released (0), or the axis steps.
    std::int32_t value = 0;
    double x = 0;
    double y = 0;
    Done done;
    Clock::time_point queued{};
  };

  // What the queue needs of the session that owns it; called on the bus thread.
  class Session {
   public:
    virtual ~Session() = default;
    // Makes the session when there is none (may take several bus calls); false when none runs.
    virtual bool startSession() = 0;
    virtual sd_bus* bus() = 0;
    virtual const std::string& sessionPath() const = 0;
    virtual const std::string& streamPath() const = 0;
    // When the current session's devices are usable.
    virtual Clock::time_point inputFrom() const = 0;
    // The event is clamped to this size (pixels of the recorded monitor), when known.
    virtual std::optional<std::pair<int, int>> monitorSize() const = 0;
    // A sent event was refused or never answered: the session is gone for the compositor.
    virtual void loseSession(const std::string& why) = 0;
    // Runs the queue again no later than `when`.
    virtual void wakeAt(Clock::time_point when) = 0;
    // Runs `work` once sd-bus has returned (replies arrive inside sd_bus_process).
    virtual void defer(std::function<void()> work) = 0;
  };

  // An event not sent within this time of its queuing (or of its session's devices settling,
  // when it waited for them) is dropped.
  static constexpr std::chrono::milliseconds eventLimit{1500};
  static constexpr std::chrono::milliseconds oldestSent{6000};
  // A sent event the compositor has not answered within this time: the compositor is hung.
  static constexpr std::chrono::milliseconds answerLimit{5000};
  // Events waiting at most; beyond it callers are refused at once.
  static constexpr std::size_t maximumQueued = 1024;

  explicit MutterSessionInput(Session& session);
  ~MutterSessionInput();
  MutterSessionInput(const MutterSessionInput&) = delete;
  MutterSessionInput& operator=(const MutterSessionInput&) = delete;

  // ---- any thread ----

  // Queues `event`; false (and `done` never called) when the queue is full.
  bool push(Event event);

  // ---- the bus thread ----

  // Sends what may be sent now and drops what is late.
  void advance();
  // The session ended: nothing it pressed is held any more, an answer still awaited is dropped.
  void sessionEnded();
  // Drops every waiting event, reporting each as failed (the queue's owner stops).
  void dropAll(const char* why);

 private:
  static int onAnswer(sd_bus_message* m, void* data, sd_bus_error* error);
  bool mustSend(const Event& event) const;
  Clock::time_point deadline(const Event& event) const;
  bool late(const Event& event, Clock::time_point now) const;
  // Drops every waiting event whose time has passed (a release of what the session pressed
  // excepted), and wakes the loop when the next one's will.
  void dropLate();
  int send(const Event& event);
  void report(Event& event, bool taken);
  void reportDropped(const Event& event, Clock::time_point now);

  Session& session_;

  // Shared (mutex_).
  std::mutex mutex_;
  std::deque<Event> queue_;

  // The bus thread only.
  sd_bus_slot* answerSlot_ = nullptr;
  std::optional<Event> awaited_;
  Clock::time_point sentAt_{};
  // (kind, code) pressed in the current session and not released since.
  std::set<std::pair<Kind, std::uint32_t>> pressed_;
  bool dropLogged_ = false;
  bool inAdvance_ = false;
};

}  // namespace vantrel

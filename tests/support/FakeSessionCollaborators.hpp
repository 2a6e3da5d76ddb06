#pragma once

// Test doubles for the collaborators of a manager session: a scripted screen streamer, an input
// injector, a restart-command executor, an event recorder, a scripted system-information
// provider that can be held open and a recording secure-session controller. All are thread-safe.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AIChannel/AIPairingBinding.hpp"
#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "Session/DirectAuthEventSystemLog.hpp"
#include "Session/MacSystemCommandExecutor.hpp"
#include "Session/RemoteInputInjecting.hpp"
#include "Session/ScreenStreamingProviding.hpp"
#include "Support/Async.hpp"
#include "Support/Clock.hpp"
#include "support/HoldGate.hpp"

namespace vantrel::testing {

// A screen streamer driven by the test: it answers the display questions as scripted, records
// starts, stops and keyframe requests, and delivers access units and failures on demand through
// the handlers of the running stream.
class FakeScreenStreamer final : public ScreenStreamingProviding {
 public:
  // ScreenStreamingProviding
  Awaitable<ScreenPixelSize> primaryDisplaySize() override;
  Awaitable<long long> primaryDisplayDPIRate() override;
  Awaitable<void> start(ScreenStreamConfiguration configuration, ScreenStreamHandlers handlers) override;
  Awaitable<void> stop() override;
  Awaitable<void> requestKeyframe() override;
  Awaitable<bool> isStreaming() override;

  // Scripting.
  void setDisplaySize(ScreenPixelSize size);
  void failDisplaySize(std::exception_ptr error);  // nullptr: answer the size again
  void setDPIRate(long long rate);
  void failNextStart(std::exception_ptr error);
  // Each start takes this long (on the test's clock) before the stream runs.
  void setStartDelay(VantrelClock::duration delay);

  // Delivers one unit through the running stream's handler; false when nothing streams.
  Awaitable<bool> deliver(EncodedScreenAccessUnit unit);
  // Reports a failure through the running stream's handler and stops the stream, as a real
  // streamer does; false when nothing streams.
  Awaitable<bool> fail(std::string text);
  // Delivers through the handlers given to start number `start` (0 first), even after that
  // stream was stopped: a unit an encoder thread produced just before its stream ended.
  Awaitable<bool> deliverLate(std::size_t start, EncodedScreenAccessUnit unit);

  // Observation.
  std::vector<ScreenStreamConfiguration> starts() const;
  // Calls of start, counted on entry (a delayed start counts before it has finished).
  int startCalls() const;
  int stopCount() const;
  int keyframeRequests() const;
  bool streaming() const;

  // An access unit with Annex-B start codes: parameter sets first on a keyframe.
  static EncodedScreenAccessUnit makeUnit(bool keyframe, std::size_t payloadBytes, std::uint8_t fill = 0x11);

 private:
  mutable std::mutex mutex_;
  ScreenPixelSize size_{1920, 1080};
  std::exception_ptr sizeError_;
  long long dpiRate_ = 100;
  std::exception_ptr startError_;
  VantrelClock::duration startDelay_{};
  int startCalls_ = 0;
  std::uint64_t lastCall_ = 0;  // bumped by every start and stop: a start under way is ended
  std::optional<ScreenStreamHandlers> handlers_;
  std::vector<ScreenStreamConfiguration> starts_;
  std::vector<ScreenStreamHandlers> startHandlers_;
  int stopCount_ = 0;
  int keyframeRequests_ = 0;
};

// Counts injected packets (the packet's layout is not needed) and throws scripted errors.
class FakeInputInjector final : public RemoteInputInjecting {
 public:
  void inject(const LegacyInputPacket& packet) override;

  // The next injections throw these errors, one each, in order.
  void queueError(std::exception_ptr error);
  // Called with every packet that is injected without error (before counting it).
  void setObserver(std::function<void(const LegacyInputPacket&)> observer);

  int injectedCount() const;
  int attemptCount() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::exception_ptr> errors_;
  std::function<void(const LegacyInputPacket&)> observer_;
  int injected_ = 0;
  int attempts_ = 0;
};

// Records restart requests; never restarts anything.
class FakeSystemCommandExecutor final : public SystemCommandExecuting {
 public:
  void requestReboot() override;
  void failWith(std::exception_ptr error);  // nullptr: succeed again
  int rebootRequests() const;

 private:
  mutable std::mutex mutex_;
  std::exception_ptr error_;
  int requests_ = 0;
};

// Records events as the system log mirror and, through `handler()`, as the owner's event
// handler, so a test can check both receivers and their order.
class EventRecorder final : public DirectAuthSystemLogging {
 public:
  void mirror(const DirectAuthEvent& event) override;
  std::function<void(const DirectAuthEvent&)> handler();

  std::vector<DirectAuthEvent> mirrored() const;
  std::vector<DirectAuthEvent> handled() const;
  std::vector<std::string> messages() const;  // lines of the mirrored events
  bool containsMessage(const std::string& line) const;
  // True when every handled event was mirrored first, in the same order.
  bool mirrorPrecedesHandler() const;
  void clear();

  template <typename Kind>
  std::vector<Kind> mirroredOf() const {
    std::vector<Kind> found;
    for (const auto& event : mirrored()) {
      if (const auto* kind = std::get_if<Kind>(&event.kind)) found.push_back(*kind);
    }
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<DirectAuthEvent> mirrored_;
  std::vector<DirectAuthEvent> handled_;
  bool orderViolated_ = false;
};

class ScriptedComInfoProvider final : public LegacyComInfoSnapshotProviding {
 public:
  Awaitable<LegacyComInfoSnapshot> makeSnapshot() override;

  void setSnapshot(LegacyComInfoSnapshot snapshot);
  void failWith(std::exception_ptr error);  // nullptr: succeed again
  // While held, `makeSnapshot` waits until `release()`.
  void hold();
  void release();

  int calls() const;
  int waiting() const;

  // A recognisable snapshot: 10.1.2.3, 1920 x 1080, cpu 12, ram 40 % of 16 GB, up "3h".
  static LegacyComInfoSnapshot sample();

 private:
  mutable std::mutex mutex_;
  LegacyComInfoSnapshot snapshot_ = sample();
  std::exception_ptr error_;
  int calls_ = 0;
  HoldGate gate_;
};

class RecordingSecureSession final : public AISecureSessionController {
 public:
  Awaitable<void> start(AIPairingBinding binding) override;
  Awaitable<void> stop() override;

  // While held, `stop` waits until `releaseStops()`.
  void holdStops();
  void releaseStops();

  std::vector<AIPairingBinding> starts() const;
  int stops() const;
  int waitingStops() const;

 private:
  mutable std::mutex mutex_;
  std::vector<AIPairingBinding> starts_;
  int stops_ = 0;
  HoldGate gate_;
};

}  // namespace vantrel::testing

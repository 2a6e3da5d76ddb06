#pragma once

// Doubles for the session tests that the shared collaborator fakes do not cover: a scripted
// system-information provider that can be held open, and a recording secure-session controller.

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "AIChannel/AIPairingBinding.hpp"
#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "Support/Async.hpp"
#include "support/HoldGate.hpp"

namespace vantrel::testing {

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

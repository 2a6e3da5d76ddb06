#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "Platform/Ports/InputPosting.hpp"
#include "Protocol/LegacyInputPacket.hpp"
#include "Session/RemoteInputInjecting.hpp"
#include "Support/Clock.hpp"

namespace vantrel {

// Turns the manager's input packets into pointer and keyboard events on the desktop, through
// XTEST. Pointer positions are pixels of the main display; key packets carry Windows
// virtual-key codes. Every session has its own injector; keys and buttons it pressed and did not
// release are released when it is destroyed, so nothing stays held after a session ends.
class CGEventRemoteInputInjector final : public RemoteInputInjecting {
 public:
  // Mouse moves closer together than this (measured on VantrelClock) are skipped.
  static constexpr auto minimumMouseMoveInterval = std::chrono::milliseconds(8);
  // A Windows wheel notch; smaller non-zero amounts still scroll one notch.
  static constexpr std::int64_t wheelDeltaPerNotch = 120;
  // Bound on the notches one packet can cause, whatever amount it claims.
  static constexpr std::int64_t maxWheelNotchesPerPacket = 32;

  CGEventRemoteInputInjector();
  // Posts through `input` instead of the display's XTEST (tests).
  explicit CGEventRemoteInputInjector(std::shared_ptr<InputPosting> input);
  ~CGEventRemoteInputInjector() override;
  CGEventRemoteInputInjector(const CGEventRemoteInputInjector&) = delete;
  CGEventRemoteInputInjector& operator=(const CGEventRemoteInputInjector&) = delete;

  // Checks, in order: the command (50), the permission to post (XTEST), the mode, the key code;
  // then posts. Throws `RemoteInputInjectionError`.
  void inject(const LegacyInputPacket& packet) override;

 private:
  void moveTo(const LegacyInputPacket& packet);
  void button(const LegacyInputPacket& packet, PointerButton button, bool pressed);
  void key(const LegacyInputPacket& packet, bool pressed);
  void wheel(const LegacyInputPacket& packet);

  std::mutex mutex_;
  std::shared_ptr<InputPosting> input_;
  std::optional<VantrelClock::time_point> lastPostedMove_;
  std::set<std::uint32_t> heldKeys_;
  std::set<PointerButton> heldButtons_;
};

}  // namespace vantrel

#include "Input/CGEventRemoteInputInjector.hpp"

#include <algorithm>

#include "Input/WindowsVirtualKeyMap.hpp"
#include "Platform/Backend/DesktopPorts.hpp"

namespace vantrel {
namespace {

enum InputMode : std::uint8_t {
  mouseMove = 1,
  leftDown = 2,
  leftUp = 4,
  keyDown = 5,
  keyUp = 6,
  rightDown = 8,
  rightUp = 16,
  middleDown = 32,
  middleUp = 64,
  wheelMode = 136,
};

void require(bool posted) {
  if (!posted) throw RemoteInputInjectionError::eventCreationFailed();
}

}  // namespace

CGEventRemoteInputInjector::CGEventRemoteInputInjector()
    : CGEventRemoteInputInjector(DesktopPorts::makeInputPosting()) {}

CGEventRemoteInputInjector::CGEventRemoteInputInjector(std::shared_ptr<InputPosting> input)
    : input_(std::move(input)) {}

CGEventRemoteInputInjector::~CGEventRemoteInputInjector() {
  std::lock_guard lock(mutex_);
  // Best effort: a display that is gone has no keys held any more.
  for (const std::uint32_t keysym : heldKeys_) input_->postKey(keysym, false);
  for (const PointerButton held : heldButtons_) input_->postButton(held, false);
}

void CGEventRemoteInputInjector::inject(const LegacyInputPacket& packet) {
  if (packet.command != LegacyInputPacket::remoteMouseCommand) {
    throw RemoteInputInjectionError::unsupportedCommand(packet.command);
  }
  std::lock_guard lock(mutex_);
  if (!input_->isAvailable()) throw RemoteInputInjectionError::accessibilityDenied();
  switch (packet.mode) {
    case mouseMove: return moveTo(packet);
    case leftDown: return button(packet, PointerButton::left, true);
    case leftUp: return button(packet, PointerButton::left, false);
    case rightDown: return button(packet, PointerButton::right, true);
    case rightUp: return button(packet, PointerButton::right, false);
    case middleDown: return button(packet, PointerButton::middle, true);
    case middleUp: return button(packet, PointerButton::middle, false);
    case keyDown: return key(packet, true);
    case keyUp: return key(packet, false);
    case wheelMode: return wheel(packet);
    default: throw RemoteInputInjectionError::unsupportedMode(packet.mode);
  }
}

void CGEventRemoteInputInjector::moveTo(const LegacyInputPacket& packet) {
  const auto now = VantrelClock::now();
  if (lastPostedMove_ && now - *lastPostedMove_ < minimumMouseMoveInterval) return;
  require(input_->movePointer(packet.x, packet.y));
  lastPostedMove_ = now;
}

void CGEventRemoteInputInjector::button(const LegacyInputPacket& packet, PointerButton which, bool pressed) {
  // A click happens where the packet says, like the press of a real mouse at that spot.
  require(input_->movePointer(packet.x, packet.y));
  require(input_->postButton(which, pressed));
  if (pressed) {
    heldButtons_.insert(which);
  } else {
    heldButtons_.erase(which);
  }
}

void CGEventRemoteInputInjector::key(const LegacyInputPacket& packet, bool pressed) {
  const auto keysym = WindowsVirtualKeyMap::xKeysym(packet.x);
  if (!keysym) throw RemoteInputInjectionError::unsupportedVirtualKey(packet.x);
  require(input_->postKey(*keysym, pressed));
  if (pressed) {
    heldKeys_.insert(*keysym);
  } else {
    heldKeys_.erase(*keysym);
  }
}

void CGEventRemoteInputInjector::wheel(const LegacyInputPacket& packet) {
  const std::int64_t amount = packet.x;
  if (amount == 0) return;
  // Positive amounts roll the wheel away from the operator: the content scrolls up.
  const PointerButton direction = amount > 0 ? PointerButton::wheelUp : PointerButton::wheelDown;
  const std::int64_t magnitude = amount > 0 ? amount : -amount;
  const std::int64_t notches =
      std::clamp<std::int64_t>(magnitude / wheelDeltaPerNotch, 1, maxWheelNotchesPerPacket);
  for (std::int64_t i = 0; i < notches; ++i) {
    require(input_->postButton(direction, true));
    require(input_->postButton(direction, false));
  }
}

}  // namespace vantrel

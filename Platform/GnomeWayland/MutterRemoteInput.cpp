#include "Platform/GnomeWayland/MutterRemoteInput.hpp"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <limits>

#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

const SystemLog& inputLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "input");
  return log;
}

// xkbcommon's evdev key codes are the Linux input event codes plus 8.
constexpr xkb_keycode_t evdevOffset = 8;

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

double toCoordinate(std::int64_t value) {
  constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
  return static_cast<double>(std::clamp<std::int64_t>(value, -limit, limit));
}

}  // namespace

std::unique_ptr<XkbKeysymMap> XkbKeysymMap::compile(const Names& names) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (!context) return nullptr;
  const xkb_rule_names rules{orNull(names.rules), orNull(names.model), orNull(names.layout),
                             orNull(names.variant), orNull(names.options)};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
  auto map = keymap ? fromKeymap(keymap) : nullptr;
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return map;
}

std::unique_ptr<XkbKeysymMap> XkbKeysymMap::fromDisplay(const char* displayName) {
  xcb_connection_t* connection = xcb_connect(displayName, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  std::unique_ptr<XkbKeysymMap> map;
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (context &&
      xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                  XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
    xkb_keymap* keymap =
        device < 0 ? nullptr
                   : xkb_x11_keymap_new_from_device(context, connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap) map = fromKeymap(keymap);
    xkb_keymap_unref(keymap);
  }
  xkb_context_unref(context);
  xcb_disconnect(connection);
  return map;
}

std::unique_ptr<XkbKeysymMap> XkbKeysymMap::fromKeymap(xkb_keymap* keymap) {
  auto map = std::unique_ptr<XkbKeysymMap>(new XkbKeysymMap);
  const xkb_keycode_t first = std::max(xkb_keymap_min_keycode(keymap), evdevOffset);
  const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
  xkb_level_index_t deepest = 1;
  for (xkb_keycode_t key = first; key <= last && key >= first; ++key) {
    deepest = std::max(deepest, xkb_keymap_num_levels_for_key(keymap, key, 0));
  }
  // Level by level, so that a keysym's base-level key wins over a key that shifts to it.
  for (xkb_level_index_t level = 0; level < deepest; ++level) {
    for (xkb_keycode_t key = first; key <= last && key >= first; ++key) {
      if (level >= xkb_keymap_num_levels_for_key(keymap, key, 0)) continue;
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
      for (int i = 0; i < count; ++i) map->codes_.emplace(syms[i], key - evdevOffset);
    }
  }
  return map;
}

std::optional<std::uint32_t> XkbKeysymMap::evdevCodeFor(std::uint32_t keysym) const {
  if (keysym == XKB_KEY_NoSymbol) return std::nullopt;
  const auto found = codes_.find(keysym);
  if (found == codes_.end()) return std::nullopt;
  return found->second;
}

MutterRemoteInput::MutterRemoteInput(std::shared_ptr<MutterRemoteDesktop> session)
    : session_(std::move(session)) {}

const XkbKeysymMap* MutterRemoteInput::keymap() {
  std::call_once(keymapOnce_, [this] {
    // The user's layout as Xwayland has it from the compositor; without Xwayland, the one the
    // XKB_DEFAULT_* variables name (else us).
    keymap_ = XkbKeysymMap::fromDisplay();
    if (!keymap_) keymap_ = XkbKeysymMap::compile();
    if (!keymap_)
      inputLog().error("VantrelMac input: the keyboard map could not be compiled; keys are not posted");
  });
  return keymap_.get();
}

bool MutterRemoteInput::isAvailable() {
  // Nothing is granted on this desktop: whether the compositor takes an event is known per event,
  // afterwards. The session is asked for now, so that it is ready when the event comes.
  session_->startInBackground();
  return true;
}

bool MutterRemoteInput::movePointer(std::int64_t x, std::int64_t y) {
  return session_->pointerMotionAbsolute(toCoordinate(x), toCoordinate(y));
}

bool MutterRemoteInput::postButton(PointerButton button, bool pressed) {
  switch (button) {
    case PointerButton::left: return session_->pointerButton(buttonLeft, pressed);
    case PointerButton::middle: return session_->pointerButton(buttonMiddle, pressed);
    case PointerButton::right: return session_->pointerButton(buttonRight, pressed);
    case PointerButton::wheelUp:
    case PointerButton::wheelDown:
      // A wheel notch is a click of its own: the press scrolls, the release has nothing to add.
      if (!pressed) return true;
      return session_->pointerAxisDiscrete(0, button == PointerButton::wheelUp ? -1 : 1);
  }
  return false;
}

bool MutterRemoteInput::postKey(std::uint32_t keysym, bool pressed) {
  const auto* map = keymap();
  if (!map) return false;
  const auto code = map->evdevCodeFor(keysym);
  if (!code) return false;
  return session_->keyboardKeycode(*code, pressed);
}

}  // namespace vantrel

#pragma once

// Synthetic input on a GNOME Wayland session, through the compositor's remote-desktop session
// (MutterRemoteDesktop): the same calls the input injector makes of XTEST on an X server. Events
// are posted without waiting for the compositor: a call returns once its event is queued, and a
// failure is logged afterwards (see MutterSessionInput).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/Ports/InputPosting.hpp"

// xkbcommon's keymap, declared here so that callers need no xkbcommon headers.
struct xkb_keymap;

namespace vantrel {

// Which key of a keyboard map produces a keysym, as a Linux input event code (the X key code
// less 8). Keys are searched level by level, the base level of every key first, lowest key code
// first, which is how an X server answers the same question: 'A' is the key of 'a'.
class XkbKeysymMap {
 public:
  // The rules, model, layout, variant and options of the map; empty parts take the XKB_DEFAULT_*
  // environment variables, then the library's defaults (evdev, pc105, us).
  struct Names {
    std::string rules;
    std::string model;
    std::string layout;
    std::string variant;
    std::string options;
  };
  // Nullptr when the map cannot be compiled.
  static std::unique_ptr<XkbKeysymMap> compile(const Names& names = {});
  // The map an X server's core keyboard has now: on a GNOME Wayland session Xwayland's, which the
  // compositor keeps equal to its own (the user's layout). Nullptr when the display cannot be
  // reached or has no keyboard extension. `displayName` null: DISPLAY.
  static std::unique_ptr<XkbKeysymMap> fromDisplay(const char* displayName = nullptr);

  std::optional<std::uint32_t> evdevCodeFor(std::uint32_t keysym) const;

 private:
  static std::unique_ptr<XkbKeysymMap> fromKeymap(xkb_keymap* keymap);
  std::unordered_map<std::uint32_t, std::uint32_t> codes_;
};

class MutterRemoteInput final : public InputPosting {
 public:
  // Linux input event codes of the pointer buttons.
  static constexpr std::int32_t buttonLeft = 0x110;
  static constexpr std::int32_t buttonRight = 0x111;
  static constexpr std::int32_t buttonMiddle = 0x112;

  explicit MutterRemoteInput(std::shared_ptr<MutterRemoteDesktop> session = MutterRemoteDesktop::shared());

  // True: a GNOME session grants its compositor's input service to every program of the user.
  // Asks for the session without waiting, so that it runs by the time the event comes.
  bool isAvailable() override;
  // Each is true once the event is queued; false when it was refused at once.
  bool movePointer(std::int64_t x, std::int64_t y) override;
  // A wheel notch is one discrete step of the vertical axis: up is -1, down +1.
  bool postButton(PointerButton button, bool pressed) override;
  // False, with nothing sent, when the keyboard map has no key for `keysym`.
  bool postKey(std::uint32_t keysym, bool pressed) override;

 private:
  const XkbKeysymMap* keymap();

  std::shared_ptr<MutterRemoteDesktop> session_;
  std::once_flag keymapOnce_;
  std::unique_ptr<XkbKeysymMap> keymap_;
};

}  // namespace vantrel

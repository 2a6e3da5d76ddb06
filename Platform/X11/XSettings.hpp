#pragma once

// The desktop's XSETTINGS: the settings manager of a screen (GNOME, Xfce, MATE and Cinnamon run
// one) owns the selection "_XSETTINGS_S<screen>" and keeps every setting in the property
// "_XSETTINGS_SETTINGS" of its window. This reads them and follows their changes on a connection
// of its own, which the caller polls on its file descriptor: nothing here runs a thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "Platform/X11/XConnection.hpp"

namespace vantrel {

struct XSettingColour {
  std::uint16_t red = 0;
  std::uint16_t green = 0;
  std::uint16_t blue = 0;
  std::uint16_t alpha = 0;
  friend bool operator==(const XSettingColour&, const XSettingColour&) = default;
};

using XSettingValue = std::variant<std::int32_t, std::string, XSettingColour>;

struct XSettingsSnapshot {
  std::uint32_t serial = 0;
  std::map<std::string, XSettingValue, std::less<>> values;

  // The integer setting `name`; nullopt when it is missing or not an integer.
  std::optional<std::int32_t> integer(std::string_view name) const;
  friend bool operator==(const XSettingsSnapshot&, const XSettingsSnapshot&) = default;
};

// Reads the bytes of a "_XSETTINGS_SETTINGS" property: byte order, serial, then each setting with
// its type, name, last-change serial and value. Nullopt when the bytes do not hold what they
// announce (any X client may own the selection, so nothing in them is trusted).
std::optional<XSettingsSnapshot> parseXSettings(std::span<const std::uint8_t> bytes);

// The settings of the default screen of a display, kept current. Construction reads them once;
// whenever the descriptor turns readable, processEvents() takes in what changed: a new value from
// the manager, a manager that starts, or one that goes away (its settings go with it).
class XSettingsWatcher {
 public:
  // Opens a connection of its own to `displayName` (the DISPLAY variable when none). Throws
  // `X11CaptureError` when the display cannot be reached.
  explicit XSettingsWatcher(const std::optional<std::string>& displayName = std::nullopt);
  ~XSettingsWatcher();
  XSettingsWatcher(const XSettingsWatcher&) = delete;
  XSettingsWatcher& operator=(const XSettingsWatcher&) = delete;

  // The connection's descriptor, to watch for reading.
  int fileDescriptor() const noexcept;
  // The settings now; empty when no manager runs or it publishes nothing readable.
  const XSettingsSnapshot& settings() const noexcept { return settings_; }
  // Handles every event that has arrived; true when a setting came, went or took another value
  // (a new serial alone is no change). After the connection is lost it does nothing and returns
  // false.
  bool processEvents();
  bool connectionLost() const noexcept { return lost_.load(); }

 private:
  void reread();

  XDisplayHandle display_;
  std::atomic<bool> lost_{false};
  unsigned long selection_ = 0;
  unsigned long settingsProperty_ = 0;
  unsigned long managerAtom_ = 0;
  unsigned long owner_ = 0;
  int fixesEventBase_ = -1;
  XSettingsSnapshot settings_;
};

}  // namespace vantrel

#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Platform/X11/XSettings.hpp"

namespace vantrel::testing {

// A small XSETTINGS manager for tests: it takes the screen's settings selection on a display of
// the test's own and writes the settings property itself, as a desktop's settings daemon does.
class XSettingsOwner {
 public:
  using Settings = std::vector<std::pair<std::string, XSettingValue>>;

  explicit XSettingsOwner(const std::string& displayName);
  ~XSettingsOwner();
  XSettingsOwner(const XSettingsOwner&) = delete;
  XSettingsOwner& operator=(const XSettingsOwner&) = delete;

  // Creates the manager window with `settings`, takes the selection and announces it (MANAGER).
  void start(const Settings& settings);
  // Writes new settings (the serial goes up by one).
  void publish(const Settings& settings);
  // Destroys the manager window: the selection is left without an owner.
  void stop();

  // The property's bytes, in either byte order.
  static std::vector<std::uint8_t> encode(std::uint32_t serial, const Settings& settings, bool bigEndian);

 private:
  XDisplayHandle display_;
  unsigned long window_ = 0;
  std::uint32_t serial_ = 0;
};

}  // namespace vantrel::testing

#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// One display as the status window lists it.
struct DisplayInfo {
  std::uint32_t id = 0;  // also the display's identity in lists
  int width = 0;         // pixels as the display server reports them
  int height = 0;
  std::string displayName;
  bool isMain = false;

  // "<name> (main) — <width>×<height>"; "Display <id>" stands in for an empty name and
  // " (main)" appears only on the main display.
  std::string summary() const;

  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

}  // namespace vantrel

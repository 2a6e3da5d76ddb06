#include "Screen/DisplayInfo.hpp"

#include <fmt/format.h>

namespace vantrel {

std::string DisplayInfo::summary() const {
  std::string text = displayName.empty() ? fmt::format("Display {}", id) : displayName;
  if (isMain) text += " (main)";
  text += fmt::format(" \u2014 {}\u00D7{}", width, height);
  return text;
}

}  // namespace vantrel

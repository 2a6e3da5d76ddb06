#include "Support/WallClock.hpp"

namespace vantrel {

WallClock systemWallClock() {
  return [] { return std::chrono::system_clock::now(); };
}

}  // namespace vantrel

#pragma once

#include <cstdint>

namespace vantrel {

// How often a file transfer reports progress, in either direction: each time at least 1 MiB
// more has moved since the last report, and once when the announced size is reached.
class FileTransferProgressThrottle {
 public:
  static constexpr std::int64_t reportStep = 1'048'576;

  // True when `bytes` (moved so far) is to be reported; remembers it as the last report then.
  bool shouldReport(std::int64_t bytes, std::int64_t totalBytes) noexcept {
    // Both values are non-negative and bytes only grows, so the difference cannot overflow.
    if (bytes == totalBytes || bytes - lastReported_ >= reportStep) {
      lastReported_ = bytes;
      return true;
    }
    return false;
  }
  void reset() noexcept { lastReported_ = 0; }
  std::int64_t lastReported() const noexcept { return lastReported_; }

 private:
  std::int64_t lastReported_ = 0;
};

}  // namespace vantrel

#pragma once

// The stand-in's log of the screen stream, for slow-link benches and tests: one line per access
// unit received, with the steady-clock time in nanoseconds, its bytes, whether it is a keyframe
// (0/1), the pictures decoded from it, and the number a bench painter shows as 16 black or white
// 32-pixel squares along the top left edge (bit 0 first; -1 without a picture).

#include <filesystem>
#include <fstream>

#include "H264PictureDecoder.hpp"
#include "Support/Bytes.hpp"

namespace vantrel::standin {

class StreamLog {
 public:
  // Logs nothing when `path` is empty.
  explicit StreamLog(const std::filesystem::path& path);
  // One unit, after `decoder` has decoded `decoded` pictures from it.
  void record(ByteView unit, int decoded, const H264PictureDecoder& decoder);

 private:
  std::ofstream out_;
};

}  // namespace vantrel::standin

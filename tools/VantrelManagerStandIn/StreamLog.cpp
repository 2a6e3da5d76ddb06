#include "StreamLog.hpp"

#include <chrono>
#include <cstdint>

namespace vantrel::standin {

namespace {

// An IDR slice (NAL unit type 5) makes the unit a keyframe. Read here by hand rather than with
// the agent's own parser, so that a fault in it cannot hide.
bool holdsIdrSlice(ByteView unit) {
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && (unit[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

// The painter's number in the last picture, or -1.
long long paintedNumber(const H264PictureDecoder& decoder) {
  long long mark = 0;
  for (int bit = 0; bit < 16; ++bit) {
    const int luma = decoder.lumaAt(bit * 32 + 16, 16);
    if (luma < 0) return -1;
    if (luma > 128) mark |= 1LL << bit;
  }
  return mark;
}

}  // namespace

StreamLog::StreamLog(const std::filesystem::path& path) {
  if (!path.empty()) out_.open(path, std::ios::trunc);
}

void StreamLog::record(ByteView unit, int decoded, const H264PictureDecoder& decoder) {
  if (!out_.is_open()) return;
  const long long mark = decoded > 0 ? paintedNumber(decoder) : -1;
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  out_ << now.count() << ' ' << unit.size() << ' ' << (holdsIdrSlice(unit) ? 1 : 0) << ' ' << decoded << ' '
       << mark << '\n';
  out_.flush();
}

}  // namespace vantrel::standin

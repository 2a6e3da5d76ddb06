#pragma once

#include <cstddef>
#include <vector>

#include "Protocol/VantrelFrame.hpp"

namespace vantrel {

// Cuts a received byte stream into frames. Chunks are handed out one by one, never joined.
// After an error the offending bytes stay at the front of the buffer, so every later append
// throws the same error until `reset()`.
class VantrelFrameStreamDecoder {
 public:
  static constexpr std::size_t defaultMaxBufferedBytes = 131072;

  // `maxBufferedBytes` must be at least 1.
  explicit VantrelFrameStreamDecoder(std::size_t maxBufferedBytes = defaultMaxBufferedBytes);

  // Adds received bytes and returns every frame now complete, in stream order.
  std::vector<VantrelFrame> append(ByteView data);

  void reset() noexcept;

  std::size_t bufferLimit() const noexcept { return limit_; }
  std::size_t bufferedByteCount() const noexcept { return buffer_.size() - head_; }

 private:
  // Extracts complete frames from `bytes`, advancing `offset` past each one. Returns when the
  // rest is incomplete; throws on a malformed header (offset then points at it).
  void drainFrom(ByteView bytes, std::size_t& offset, std::vector<VantrelFrame>& frames) const;
  static void validateHeaderFields(const VantrelHeader& header);

  std::size_t limit_;
  std::vector<std::uint8_t> buffer_;
  std::size_t head_ = 0;  // bytes before head_ are already consumed
};

}  // namespace vantrel

#pragma once

// A compositor buffer's memory file mapped again by one reader, privately and writable: the cursor
// is drawn into the picture while it stays in the compositor's buffer, and what one reader draws
// is seen by no other. A write copies the pages it touches for this mapping alone; forget() drops
// them (MADV_DONTNEED), so that they show the file again and the compositor's next frame in it is
// seen whole. The mapping keeps the file's memory even once the stream let the buffer go.

#include <cstdint>
#include <memory>

namespace vantrel {

// True when `mapOffset` + `maxSize` bytes lie within a file of `fileSize` bytes (without
// overflow): a mapping past the file's end would fault on the first read there.
bool bufferFitsFile(std::uint64_t fileSize, std::uint64_t mapOffset, std::uint64_t maxSize) noexcept;

class PrivateBufferMapping {
 public:
  // Maps `maxSize` bytes of `fd` from `mapOffset` on; null when the file is shorter than that or
  // cannot be mapped.
  static std::unique_ptr<PrivateBufferMapping> of(int fd, std::uint64_t mapOffset, std::uint64_t maxSize);
  ~PrivateBufferMapping();
  PrivateBufferMapping(const PrivateBufferMapping&) = delete;
  PrivateBufferMapping& operator=(const PrivateBufferMapping&) = delete;

  std::uint8_t* data() const noexcept { return base_ + offset_; }
  // Drops what this mapping wrote between `from` and `to` (pointers into it).
  void forget(const std::uint8_t* from, const std::uint8_t* to) const noexcept;

 private:
  PrivateBufferMapping() = default;
  std::uint8_t* base_ = nullptr;
  std::size_t length_ = 0;
  std::uint64_t offset_ = 0;  // of the buffer's data from `base_`
};

}  // namespace vantrel

#include "Platform/GnomeWayland/PrivateBufferMapping.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace vantrel {

bool bufferFitsFile(std::uint64_t fileSize, std::uint64_t mapOffset, std::uint64_t maxSize) noexcept {
  return maxSize > 0 && mapOffset <= fileSize && maxSize <= fileSize - mapOffset;
}

std::unique_ptr<PrivateBufferMapping> PrivateBufferMapping::of(int fd, std::uint64_t mapOffset,
                                                               std::uint64_t maxSize) {
  struct stat file {};
  if (fd < 0 || ::fstat(fd, &file) != 0 || file.st_size < 0 ||
      !bufferFitsFile(static_cast<std::uint64_t>(file.st_size), mapOffset, maxSize)) {
    return nullptr;
  }
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = mapOffset / page * page;
  std::unique_ptr<PrivateBufferMapping> m(new PrivateBufferMapping);
  m->length_ = static_cast<std::size_t>(mapOffset - start + maxSize);
  void* p = ::mmap(nullptr, m->length_, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, static_cast<off_t>(start));
  if (p == MAP_FAILED) return nullptr;
  m->base_ = static_cast<std::uint8_t*>(p);
  m->offset_ = mapOffset - start;
  return m;
}

PrivateBufferMapping::~PrivateBufferMapping() {
  if (base_) ::munmap(base_, length_);
}

void PrivateBufferMapping::forget(const std::uint8_t* from, const std::uint8_t* to) const noexcept {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(base_);
  auto first = std::max(reinterpret_cast<std::uintptr_t>(from), begin);
  auto last = std::min(reinterpret_cast<std::uintptr_t>(to), begin + length_);
  if (first >= last) return;
  first = first / page * page;
  last = std::min((last + page - 1) / page * page, begin + length_);
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace vantrel

#pragma once

// The buffer a captured screen area is read into and the reads that fill it: a shared-memory
// segment (MIT-SHM) the X server writes into, or, where the server cannot attach one, a plain
// buffer filled through GetImage. Belongs to the thread of its display connection.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"

namespace vantrel {

// Throws X11CaptureError when `lost` (a connection's loss flag) is set.
void throwIfConnectionLost(const std::atomic<bool>& lost);

class X11ScreenImage {
 public:
  // Prepares a buffer for `area` of `root` on `display`, which must outlive it; `lost` is the
  // connection's loss flag. Throws X11CaptureError when the display's pixel format is not
  // 32-bit BGRX (24 bits or more without shared memory).
  X11ScreenImage(Display* display, Window root, const ScreenRect& area, std::atomic<bool>& lost);
  ~X11ScreenImage() = default;
  X11ScreenImage(const X11ScreenImage&) = delete;
  X11ScreenImage& operator=(const X11ScreenImage&) = delete;

  bool usesSharedMemory() const noexcept { return shm_.attached; }
  BgraImageView view() const noexcept;

  // Whether readInBands() can read into this buffer (shared memory, rows packed at its stride).
  bool readsInBands() const noexcept;
  // Reads the whole area in one request.
  void readWhole();
  // Reads the whole area a band of rows at a time (bands begin on multiples of 4 rows), asking
  // for the next band before calling `band` for the one that arrived, so that the server copies
  // while the rows are used. Needs readsInBands().
  void readInBands(const std::function<void(int firstRow, int rowCount)>& band);
  // Reads one part (area coordinates) into its place. False when it does not fit the room for
  // parts (then the whole area must be read instead).
  bool readPart(const ScreenRect& part);

  // Each read throws X11CaptureError: accessDenied when the server refuses, failed otherwise
  // (a lost connection included).

 private:
  // The shared-memory image and its segment, owned from the moment each exists: whatever
  // fails later (the constructor included) detaches and frees what was made.
  struct SharedSegment {
    SharedSegment(Display* display, std::atomic<bool>& lost) : display(display), lost(lost) {}
    ~SharedSegment() { release(); }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;
    void release() noexcept;

    Display* display;
    std::atomic<bool>& lost;
    XImage* image = nullptr;
    XShmSegmentInfo info{};
    bool attached = false;  // the server has attached the segment too
  };

  bool setUpSharedMemory();
  void readPlain(const ScreenRect& part);
  Display* display_;
  Window root_;
  ScreenRect area_;
  std::atomic<bool>& lost_;
  // The segment holds the picture and, after it, room for a changed part read on its own (the
  // server writes a part's rows packed, so a part narrower than the area is read there and
  // copied into place).
  SharedSegment shm_;
  std::size_t scratchOffset_ = 0;
  std::size_t scratchBytes_ = 0;
  std::vector<std::uint8_t> plainBuffer_;
  int plainStride_ = 0;
};

}  // namespace vantrel

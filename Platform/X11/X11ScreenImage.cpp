#include "Platform/X11/X11ScreenImage.hpp"

#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Platform/X11/XConnection.hpp"

namespace vantrel {

namespace {

// A refused read is the server's access control at work; any other error (BadMatch when the
// screen shrank under the captured area, for one) is a plain failure.
[[noreturn]] void throwReadFailure(int code = XConnection::takeLastError()) {
  if (code == BadAccess)
    throw X11CaptureError::accessDenied("The X display refused to hand out the screen image.");
  throw X11CaptureError::failed(fmt::format(
      "The screen image could not be read (X error {}); the display may have changed its size.", code));
}

// Rows read at a time when the whole area is read in bands: about 2 MB, which the last level of
// cache still holds when the rows are used, in few enough requests that waiting for each costs
// little (4 bands at 1080p, 16 at 2160p); a multiple of 4 rows, as the bands' users need.
int bandRowsFor(int stride) noexcept { return std::max(4, (2 << 20) / std::max(1, stride) / 4 * 4); }

// Copies `image` (as the server sent it) into 32-bit BGRA rows.
void copyImageRows(const XImage& image, std::uint8_t* dst, int dstStride, int width, int height) {
  const bool bgra = image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.blue_mask == 0xFF;
  for (int y = 0; y < height; ++y) {
    auto* row = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
    if (bgra) {
      std::memcpy(row, image.data + static_cast<std::ptrdiff_t>(y) * image.bytes_per_line,
                  static_cast<std::size_t>(width) * 4);
    } else {
      for (int x = 0; x < width; ++x) {
        const unsigned long p = XGetPixel(const_cast<XImage*>(&image), x, y);
        row[x * 4 + 0] = static_cast<std::uint8_t>(p & 0xFF);
        row[x * 4 + 1] = static_cast<std::uint8_t>((p >> 8) & 0xFF);
        row[x * 4 + 2] = static_cast<std::uint8_t>((p >> 16) & 0xFF);
        row[x * 4 + 3] = 0xFF;
      }
    }
  }
}

}  // namespace

void throwIfConnectionLost(const std::atomic<bool>& lost) {
  if (lost) throw X11CaptureError::failed("The connection to the X display was lost.");
}

X11ScreenImage::X11ScreenImage(Display* display, Window root, const ScreenRect& area, std::atomic<bool>& lost)
    : display_(display), root_(root), area_(area), lost_(lost), shm_(display, lost) {
  if (!setUpSharedMemory()) {
    // Without shared memory every picture travels through the socket; slower, but it works.
    if (DefaultDepth(display_, DefaultScreen(display_)) < 24) {
      throw X11CaptureError::failed("The X display's pixel format is not supported (needs 24 or 32 bits).");
    }
    plainStride_ = area_.width * 4;
    plainBuffer_.assign(static_cast<std::size_t>(plainStride_) * area_.height, 0);
  } else if (shm_.image->red_mask != 0xFF0000 || shm_.image->green_mask != 0xFF00 ||
             shm_.image->blue_mask != 0xFF || shm_.image->byte_order != LSBFirst) {
    throw X11CaptureError::failed("The X display's pixel format is not supported (needs 32-bit BGRX).");
  }
}

void X11ScreenImage::SharedSegment::release() noexcept {
  if (attached && !lost) {
    XShmDetach(display, &info);
    XSync(display, False);
  }
  attached = false;
  if (image) XDestroyImage(image);  // frees the XImage only; its data points into the segment
  image = nullptr;
  if (info.shmaddr) shmdt(info.shmaddr);
  info.shmaddr = nullptr;
}

bool X11ScreenImage::setUpSharedMemory() {
  int major = 0, minor = 0;
  Bool pixmaps = False;
  if (!XShmQueryVersion(display_, &major, &minor, &pixmaps)) return false;
  const int screen = DefaultScreen(display_);
  shm_.image = XShmCreateImage(
      display_, DefaultVisual(display_, screen), static_cast<unsigned>(DefaultDepth(display_, screen)),
      ZPixmap, nullptr, &shm_.info, static_cast<unsigned>(area_.width), static_cast<unsigned>(area_.height));
  if (!shm_.image) return false;
  if (shm_.image->bits_per_pixel != 32) {
    shm_.release();
    return false;
  }
  const auto bytes =
      static_cast<std::size_t>(shm_.image->bytes_per_line) * static_cast<std::size_t>(area_.height);
  // A part read on its own is at most the share of the area above which the whole is read.
  scratchOffset_ = bytes;
  scratchBytes_ = static_cast<std::size_t>(
      static_cast<long long>(area_.width) * area_.height * 4 * ScreenDamage::defaultMaxShare / 1024 + 4096);
  shm_.info.shmid = shmget(IPC_PRIVATE, bytes + scratchBytes_, IPC_CREAT | 0600);
  if (shm_.info.shmid < 0) {
    shm_.release();
    return false;
  }
  auto* address = static_cast<char*>(shmat(shm_.info.shmid, nullptr, 0));
  // Marked for removal at once: the segment goes away when both sides have detached, even if
  // the process dies.
  shmctl(shm_.info.shmid, IPC_RMID, nullptr);
  if (address == reinterpret_cast<char*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat failure
    shm_.release();
    return false;
  }
  shm_.info.shmaddr = address;
  shm_.image->data = address;
  shm_.info.readOnly = False;
  (void)XConnection::takeLastError();
  if (!XShmAttach(display_, &shm_.info)) {
    shm_.release();
    return false;
  }
  XSync(display_, False);
  if (XConnection::takeLastError() != 0 || lost_) {
    // A server on another host (or another IPC namespace) cannot attach the segment.
    (void)XConnection::takeLastError();
    shm_.release();
    return false;
  }
  shm_.attached = true;
  return true;
}

BgraImageView X11ScreenImage::view() const noexcept {
  BgraImageView view;
  view.width = area_.width;
  view.height = area_.height;
  if (shm_.attached) {
    view.data = reinterpret_cast<std::uint8_t*>(shm_.image->data);
    view.stride = shm_.image->bytes_per_line;
  } else {
    view.data = const_cast<std::uint8_t*>(plainBuffer_.data());
    view.stride = plainStride_;
  }
  return view;
}

bool X11ScreenImage::readsInBands() const noexcept {
  return shm_.attached && shm_.image->bytes_per_line == area_.width * 4;
}

void X11ScreenImage::readWhole() {
  (void)XConnection::takeLastError();
  if (shm_.attached) {
    if (!XShmGetImage(display_, root_, shm_.image, area_.x, area_.y, AllPlanes)) {
      throwIfConnectionLost(lost_);
      throwReadFailure();
    }
    return;
  }
  readPlain({0, 0, area_.width, area_.height});
}

void X11ScreenImage::readInBands(const std::function<void(int firstRow, int rowCount)>& band) {
  const int stride = shm_.image->bytes_per_line;
  const int bandRows = bandRowsFor(stride);
  xcb_connection_t* connection = XGetXCBConnection(display_);
  const auto request = [&](int firstRow) {
    return xcb_shm_get_image(
        connection, static_cast<xcb_drawable_t>(root_), static_cast<std::int16_t>(area_.x),
        static_cast<std::int16_t>(area_.y + firstRow), static_cast<std::uint16_t>(area_.width),
        static_cast<std::uint16_t>(std::min(bandRows, area_.height - firstRow)), ~0U,
        XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_shm_seg_t>(shm_.info.shmseg),
        static_cast<std::uint32_t>(static_cast<std::size_t>(firstRow) * stride));
  };
  auto pending = request(0);
  for (int firstRow = 0; firstRow < area_.height; firstRow += bandRows) {
    const int rows = std::min(bandRows, area_.height - firstRow);
    const bool more = firstRow + rows < area_.height;
    const auto next = more ? request(firstRow + rows) : xcb_shm_get_image_cookie_t{};
    xcb_generic_error_t* error = nullptr;
    auto* reply = xcb_shm_get_image_reply(connection, pending, &error);
    const bool whole =
        reply && reply->size == static_cast<std::uint32_t>(rows) * static_cast<std::uint32_t>(stride);
    std::free(reply);
    if (!whole) {
      if (more) xcb_discard_reply(connection, next.sequence);
      const int code = error ? error->error_code : 0;
      std::free(error);
      if (xcb_connection_has_error(connection)) {
        // Let Xlib notice too (its handler marks the connection lost), so that closing the
        // display later takes Xlib's own path for a lost connection.
        (void)XEventsQueued(display_, QueuedAfterReading);
        lost_ = true;
      }
      throwIfConnectionLost(lost_);
      throwReadFailure(code);
    }
    try {
      band(firstRow, rows);
    } catch (...) {
      // The next band's reply would otherwise wait in the connection for good.
      if (more) xcb_discard_reply(connection, next.sequence);
      throw;
    }
    pending = next;
  }
}

void X11ScreenImage::readPlain(const ScreenRect& part) {
  XImage* image =
      XGetImage(display_, root_, area_.x + part.x, area_.y + part.y, static_cast<unsigned>(part.width),
                static_cast<unsigned>(part.height), AllPlanes, ZPixmap);
  if (!image) {
    throwIfConnectionLost(lost_);
    throwReadFailure();
  }
  copyImageRows(*image, plainBuffer_.data() + static_cast<std::ptrdiff_t>(part.y) * plainStride_ + part.x * 4,
                plainStride_, part.width, part.height);
  XDestroyImage(image);
}

bool X11ScreenImage::readPart(const ScreenRect& part) {
  (void)XConnection::takeLastError();
  if (!shm_.attached) {
    readPlain(part);
    return true;
  }
  const int stride = shm_.image->bytes_per_line;
  // Whole rows land where they belong; a narrower part goes to the room after the picture.
  const bool inPlace = part.x == 0 && part.width == area_.width && stride == area_.width * 4;
  const auto partBytes = static_cast<std::size_t>(part.width) * static_cast<std::size_t>(part.height) * 4;
  if (!inPlace && partBytes > scratchBytes_) return false;
  XImage image = *shm_.image;  // the same segment and format; only the size and place differ
  image.width = part.width;
  image.height = part.height;
  image.bytes_per_line = part.width * 4;
  image.data = inPlace ? shm_.info.shmaddr + static_cast<std::ptrdiff_t>(part.y) * stride
                       : shm_.info.shmaddr + scratchOffset_;
  if (!XShmGetImage(display_, root_, &image, area_.x + part.x, area_.y + part.y, AllPlanes)) {
    throwIfConnectionLost(lost_);
    throwReadFailure();
  }
  if (!inPlace)
    copyImageRows(image, view().data + static_cast<std::ptrdiff_t>(part.y) * stride + part.x * 4, stride,
                  part.width, part.height);
  return true;
}

}  // namespace vantrel

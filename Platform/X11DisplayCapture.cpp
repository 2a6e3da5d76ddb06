#include "Platform/X11DisplayCapture.hpp"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// More damage rectangles than this in one report are taken as their bounds.
constexpr int maxDamageRectsPerReport = 256;

}  // namespace

void drawCursor(const BgraImageView& image, int originX, int originY, const CursorImage& cursor, int pointerX,
                int pointerY) noexcept {
  if (!image.data || cursor.width <= 0 || cursor.height <= 0 ||
      cursor.argb.size() < static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height)) {
    return;
  }
  const int left = pointerX - cursor.hotX - originX;
  const int top = pointerY - cursor.hotY - originY;
  const int x0 = std::max(0, -left);
  const int y0 = std::max(0, -top);
  const int x1 = std::min(cursor.width, image.width - left);
  const int y1 = std::min(cursor.height, image.height - top);
  for (int cy = y0; cy < y1; ++cy) {
    std::uint8_t* row = image.data + static_cast<std::ptrdiff_t>(top + cy) * image.stride;
    const std::uint32_t* src = cursor.argb.data() + static_cast<std::size_t>(cy) * cursor.width;
    for (int cx = x0; cx < x1; ++cx) {
      const std::uint32_t p = src[cx];
      const std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = row + static_cast<std::ptrdiff_t>(left + cx) * 4;
      const std::uint32_t inverse = 255 - alpha;
      const std::uint32_t sb = p & 0xFF, sg = (p >> 8) & 0xFF, sr = (p >> 16) & 0xFF;
      d[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sb + (d[0] * inverse + 127) / 255));
      d[1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sg + (d[1] * inverse + 127) / 255));
      d[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sr + (d[2] * inverse + 127) / 255));
      d[3] = 0xFF;
    }
  }
}

struct X11DisplayCapture::State {
  // Declared before the connection, which may report its loss while it closes.
  std::atomic<bool> connectionLost{false};
  XDisplayHandle display;
  Window root = 0;
  ScreenRect area;
  int scaleRate = 100;

  // Shared-memory image, or a plain buffer filled by XGetImage. The segment holds the picture
  // and, after it, room for a changed part read on its own (the server writes a part's rows
  // packed, so a part narrower than the area is read there and copied into place).
  XImage* shmImage = nullptr;
  XShmSegmentInfo shmInfo{};
  bool shmAttached = false;
  std::size_t scratchOffset = 0;
  std::size_t scratchBytes = 0;
  std::vector<std::uint8_t> plainBuffer;
  int plainStride = 0;

  bool tracksDamage = false;
  Damage damage = 0;
  XserverRegion damageRegion = 0;
  int damageEventBase = 0;
  bool damageSeen = true;  // the first collection reports a change
  // Damage reported since the latest capture, and what that capture changed (area coordinates).
  ScreenDamage pending;
  ScreenDamage changed;
  bool hasPicture = false;
  // Where the cursor was drawn into the buffer: read again from the screen at the next capture.
  std::optional<ScreenRect> drawnCursor;

  bool showsCursor = false;
  int fixesEventBase = 0;
  // The pointer is looked at when XInput 2 reports motion (raw events reach the root window
  // whatever is grabbed); without XInput 2, at every collection.
  int inputOpcode = -1;
  bool pointerMoved = true;
  CursorImage cursor;
  bool cursorShapeChanged = true;
  int pointerX = -1000000;
  int pointerY = -1000000;

  ~State() {
    Display* d = display.get();
    if (!d) return;
    if (damage && !connectionLost) XDamageDestroy(d, damage);
    if (damageRegion && !connectionLost) XFixesDestroyRegion(d, damageRegion);
    if (shmImage) {
      if (shmAttached && !connectionLost) {
        XShmDetach(d, &shmInfo);
        XSync(d, False);
      }
      XDestroyImage(shmImage);  // frees the XImage; data points into the segment
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): (char*)-1 is how shmat reports failure
    if (shmInfo.shmaddr && shmInfo.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shmInfo.shmaddr);
  }

  void throwIfLost() const {
    if (connectionLost) throw X11CaptureError::failed("The connection to the X display was lost.");
  }

  bool setUpSharedMemory() {
    int major = 0, minor = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(display.get(), &major, &minor, &pixmaps)) return false;
    const int screen = DefaultScreen(display.get());
    shmImage =
        XShmCreateImage(display.get(), DefaultVisual(display.get(), screen),
                        static_cast<unsigned>(DefaultDepth(display.get(), screen)), ZPixmap, nullptr,
                        &shmInfo, static_cast<unsigned>(area.width), static_cast<unsigned>(area.height));
    if (!shmImage) return false;
    if (shmImage->bits_per_pixel != 32) {
      XDestroyImage(shmImage);
      shmImage = nullptr;
      return false;
    }
    const auto bytes =
        static_cast<std::size_t>(shmImage->bytes_per_line) * static_cast<std::size_t>(area.height);
    // A part read on its own is at most the share of the area above which the whole is read.
    scratchOffset = bytes;
    scratchBytes = static_cast<std::size_t>(
        static_cast<long long>(area.width) * area.height * 4 * ScreenDamage::defaultMaxShare / 1024 + 4096);
    shmInfo.shmid = shmget(IPC_PRIVATE, bytes + scratchBytes, IPC_CREAT | 0600);
    if (shmInfo.shmid < 0) {
      XDestroyImage(shmImage);
      shmImage = nullptr;
      return false;
    }
    shmInfo.shmaddr = static_cast<char*>(shmat(shmInfo.shmid, nullptr, 0));
    // Marked for removal at once: the segment goes away when both sides have detached, even if
    // the process dies.
    shmctl(shmInfo.shmid, IPC_RMID, nullptr);
    if (shmInfo.shmaddr == reinterpret_cast<char*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat failure
      shmInfo.shmaddr = nullptr;
      XDestroyImage(shmImage);
      shmImage = nullptr;
      return false;
    }
    shmImage->data = shmInfo.shmaddr;
    shmInfo.readOnly = False;
    (void)XConnection::takeLastError();
    if (!XShmAttach(display.get(), &shmInfo)) return false;
    XSync(display.get(), False);
    if (XConnection::takeLastError() != 0 || connectionLost) {
      // A server on another host (or another IPC namespace) cannot attach the segment.
      (void)XConnection::takeLastError();
      XDestroyImage(shmImage);
      shmImage = nullptr;
      shmdt(shmInfo.shmaddr);
      shmInfo.shmaddr = nullptr;
      return false;
    }
    shmAttached = true;
    return true;
  }

  void refreshCursorImage() {
    XFixesCursorImage* image = XFixesGetCursorImage(display.get());
    if (!image) {
      cursor = {};
      return;
    }
    cursor.width = image->width;
    cursor.height = image->height;
    cursor.hotX = image->xhot;
    cursor.hotY = image->yhot;
    cursor.argb.resize(static_cast<std::size_t>(image->width) * image->height);
    // XFixes hands the pixels out as `unsigned long`, 32 significant bits each.
    for (std::size_t i = 0; i < cursor.argb.size(); ++i) {
      cursor.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
    }
    XFree(image);
  }

  // Raw motion of every master pointer, selected on the root window.
  bool selectPointerMotion() {
    int event = 0, error = 0, major = 2, minor = 2;
    Display* d = display.get();
    if (!XQueryExtension(d, "XInputExtension", &inputOpcode, &event, &error) ||
        XIQueryVersion(d, &major, &minor) != Success) {
      inputOpcode = -1;
      return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(d, root, &mask, 1);
    return true;
  }

  BgraImageView bufferView() {
    BgraImageView view;
    view.width = area.width;
    view.height = area.height;
    if (shmAttached) {
      view.data = reinterpret_cast<std::uint8_t*>(shmImage->data);
      view.stride = shmImage->bytes_per_line;
    } else {
      view.data = plainBuffer.data();
      view.stride = plainStride;
    }
    return view;
  }

  void readWholeAtOnce() {
    Display* d = display.get();
    (void)XConnection::takeLastError();
    if (shmAttached) {
      if (!XShmGetImage(d, root, shmImage, area.x, area.y, AllPlanes)) {
        throwIfLost();
        throwReadFailure();
      }
      return;
    }
    readPlain({0, 0, area.width, area.height});
  }

  // Reads the whole area a band of rows at a time, asking for the next band before handing the
  // one that arrived to `sink` (with the cursor drawn in), so that the server copies while the
  // rows are used. The rows are read straight into their place, which needs rows packed at the
  // segment's stride.
  void readWholeInBands(const X11DisplayCapture::RowSink& sink) {
    const int stride = shmImage->bytes_per_line;
    const int bandRows = bandRowsFor(stride);
    xcb_connection_t* connection = XGetXCBConnection(display.get());
    const auto request = [&](int firstRow) {
      return xcb_shm_get_image(
          connection, static_cast<xcb_drawable_t>(root), static_cast<std::int16_t>(area.x),
          static_cast<std::int16_t>(area.y + firstRow), static_cast<std::uint16_t>(area.width),
          static_cast<std::uint16_t>(std::min(bandRows, area.height - firstRow)), ~0U,
          XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_shm_seg_t>(shmInfo.shmseg),
          static_cast<std::uint32_t>(static_cast<std::size_t>(firstRow) * stride));
    };
    const auto cursorRect = cursorInArea();
    const auto view = bufferView();
    auto pending = request(0);
    for (int firstRow = 0; firstRow < area.height; firstRow += bandRows) {
      const int rows = std::min(bandRows, area.height - firstRow);
      const bool more = firstRow + rows < area.height;
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
          (void)XEventsQueued(display.get(), QueuedAfterReading);
          connectionLost = true;
        }
        throwIfLost();
        throwReadFailure(code);
      }
      if (cursorRect && cursorRect->y < firstRow + rows && cursorRect->y + cursorRect->height > firstRow) {
        drawCursor({view.data + static_cast<std::ptrdiff_t>(firstRow) * stride, stride, area.width, rows},
                   area.x, area.y + firstRow, cursor, pointerX, pointerY);
      }
      try {
        sink(view, firstRow, rows);
      } catch (...) {
        // The next band's reply would otherwise wait in the connection for good.
        if (more) xcb_discard_reply(connection, next.sequence);
        throw;
      }
      pending = next;
    }
    drawnCursor = cursorRect;
  }

  void readPlain(const ScreenRect& part) {
    XImage* image =
        XGetImage(display.get(), root, area.x + part.x, area.y + part.y, static_cast<unsigned>(part.width),
                  static_cast<unsigned>(part.height), AllPlanes, ZPixmap);
    if (!image) {
      throwIfLost();
      throwReadFailure();
    }
    copyImageRows(*image, plainBuffer.data() + static_cast<std::ptrdiff_t>(part.y) * plainStride + part.x * 4,
                  plainStride, part.width, part.height);
    XDestroyImage(image);
  }

  // Reads one part (area coordinates) into its place in the buffer. False when it does not fit
  // the room for parts (then the whole area is read instead).
  bool readPart(const ScreenRect& part) {
    (void)XConnection::takeLastError();
    if (!shmAttached) {
      readPlain(part);
      return true;
    }
    const int stride = shmImage->bytes_per_line;
    // Whole rows land where they belong; a narrower part goes to the room after the picture.
    const bool inPlace = part.x == 0 && part.width == area.width && stride == area.width * 4;
    const auto partBytes = static_cast<std::size_t>(part.width) * static_cast<std::size_t>(part.height) * 4;
    if (!inPlace && partBytes > scratchBytes) return false;
    XImage image = *shmImage;  // the same segment and format; only the size and place differ
    image.width = part.width;
    image.height = part.height;
    image.bytes_per_line = part.width * 4;
    image.data = inPlace ? shmInfo.shmaddr + static_cast<std::ptrdiff_t>(part.y) * stride
                         : shmInfo.shmaddr + scratchOffset;
    if (!XShmGetImage(display.get(), root, &image, area.x + part.x, area.y + part.y, AllPlanes)) {
      throwIfLost();
      throwReadFailure();
    }
    if (!inPlace)
      copyImageRows(image, bufferView().data + static_cast<std::ptrdiff_t>(part.y) * stride + part.x * 4,
                    stride, part.width, part.height);
    return true;
  }

  // The cursor's rectangle within the area, when it is shown and lies over it.
  std::optional<ScreenRect> cursorInArea() const {
    if (!showsCursor || pointerX <= -1000000 || cursor.width <= 0 || cursor.height <= 0) return std::nullopt;
    const auto common = intersection(
        {pointerX - cursor.hotX - area.x, pointerY - cursor.hotY - area.y, cursor.width, cursor.height},
        {0, 0, area.width, area.height});
    if (common.width <= 0 || common.height <= 0) return std::nullopt;
    return common;
  }

  // Draws the cursor into a freshly read buffer and remembers where.
  void finishPicture(const BgraImageView& view) {
    drawnCursor = cursorInArea();
    if (drawnCursor) drawCursor(view, area.x, area.y, cursor, pointerX, pointerY);
    finishRead();
  }

  void finishRead() {
    if (drawnCursor) changed.add(*drawnCursor);
    pending.clear();
    hasPicture = true;
  }

  BgraImageView readWhole(const X11DisplayCapture::RowSink& sink) {
    throwIfLost();
    changed.addWhole();
    // Until the read ends, the buffer may hold part of the new picture (a cursor drawn in there
    // included) and part of the previous one: a read that fails leaves the next one whole.
    hasPicture = false;
    if (!shmAttached || shmImage->bytes_per_line != area.width * 4) {
      readWholeAtOnce();
      const auto view = bufferView();
      finishPicture(view);
      sink(view, 0, view.height);
      return view;
    }
    readWholeInBands(sink);
    finishRead();
    return bufferView();
  }

  bool cursorRectTouchesArea(int x, int y) const {
    const ScreenRect rect{x - cursor.hotX, y - cursor.hotY, std::max(1, cursor.width),
                          std::max(1, cursor.height)};
    const auto common = intersection(rect, area);
    return common.width > 0 && common.height > 0;
  }
};

X11DisplayCapture::X11DisplayCapture(const Options& options) : state_(std::make_unique<State>()) {
  auto& s = *state_;
  s.display = XConnection::open(options.displayName);
  Display* d = s.display.get();
  XConnection::watchForLoss(d, s.connectionLost);
  s.root = DefaultRootWindow(d);
  const auto layout = readX11DisplayLayout(d);
  s.scaleRate = layout.scaleRate;
  const auto area = layout.mainArea();
  if (!area) throw X11CaptureError::noDisplay("The X display has no monitor to capture.");
  s.area = *area;
  s.pending = ScreenDamage(s.area.width, s.area.height);
  s.changed = ScreenDamage(s.area.width, s.area.height);

  if (!s.setUpSharedMemory()) {
    // Without shared memory every picture travels through the socket; slower, but it works.
    const int screen = DefaultScreen(d);
    if (DefaultDepth(d, screen) < 24) {
      throw X11CaptureError::failed("The X display's pixel format is not supported (needs 24 or 32 bits).");
    }
    s.plainStride = s.area.width * 4;
    s.plainBuffer.assign(static_cast<std::size_t>(s.plainStride) * s.area.height, 0);
  } else if (s.shmImage->red_mask != 0xFF0000 || s.shmImage->green_mask != 0xFF00 ||
             s.shmImage->blue_mask != 0xFF || s.shmImage->byte_order != LSBFirst) {
    throw X11CaptureError::failed("The X display's pixel format is not supported (needs 32-bit BGRX).");
  }

  int errorBase = 0;
  if (options.tracksDamage && XDamageQueryExtension(d, &s.damageEventBase, &errorBase)) {
    int fixesEvent = 0, fixesError = 0;
    if (XFixesQueryExtension(d, &fixesEvent, &fixesError)) {
      s.damage = XDamageCreate(d, s.root, XDamageReportNonEmpty);
      s.damageRegion = XFixesCreateRegion(d, nullptr, 0);
      s.tracksDamage = true;
    }
  }
  s.showsCursor = options.showsCursor;
  if (s.showsCursor) {
    int fixesError = 0;
    if (XFixesQueryExtension(d, &s.fixesEventBase, &fixesError)) {
      XFixesSelectCursorInput(d, s.root, XFixesDisplayCursorNotifyMask);
      s.refreshCursorImage();
      (void)s.selectPointerMotion();
    } else {
      s.showsCursor = false;
    }
  }
  (void)XConnection::takeLastError();
  XSync(d, False);
  s.throwIfLost();
}

X11DisplayCapture::~X11DisplayCapture() = default;

ScreenRect X11DisplayCapture::area() const noexcept { return state_->area; }
bool X11DisplayCapture::usesSharedMemory() const noexcept { return state_->shmAttached; }
int X11DisplayCapture::scaleRate() const noexcept { return state_->scaleRate; }
int X11DisplayCapture::connectionFd() const noexcept { return ConnectionNumber(state_->display.get()); }

bool X11DisplayCapture::followsPointerByEvents() const noexcept {
  return state_->showsCursor && state_->inputOpcode >= 0;
}

bool X11DisplayCapture::collectChanges(bool lookAtPointer) {
  auto& s = *state_;
  Display* d = s.display.get();
  s.throwIfLost();
  bool changed = false;
  while (XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    if (s.tracksDamage && event.type == s.damageEventBase + XDamageNotify) {
      s.damageSeen = true;
    } else if (s.showsCursor && event.type == s.fixesEventBase + XFixesCursorNotify) {
      s.cursorShapeChanged = true;
    } else if (event.type == GenericEvent && event.xcookie.extension == s.inputOpcode) {
      s.pointerMoved = true;  // the event's data is never claimed: Xlib drops it with the next one
    }
  }
  s.throwIfLost();
  if (!s.tracksDamage) {
    changed = true;  // without damage reports every picture is treated as new
    s.pending.addWhole();
  } else if (s.damageSeen) {
    s.damageSeen = false;
    // Take the damage away (so that the next change is reported again) and keep where it was
    // for the next capture.
    XDamageSubtract(d, s.damage, None, s.damageRegion);
    int count = 0;
    XRectangle bounds{};
    XRectangle* rects = XFixesFetchRegionAndBounds(d, s.damageRegion, &count, &bounds);
    const auto note = [&](const XRectangle& r) {
      const auto common = intersection({r.x, r.y, r.width, r.height}, s.area);
      if (common.width <= 0 || common.height <= 0) return;
      changed = true;
      s.pending.add({common.x - s.area.x, common.y - s.area.y, common.width, common.height});
    };
    if (!rects) {
      // Damage was reported but its region could not be read: take everything as changed.
      changed = true;
      s.pending.addWhole();
    } else if (count > maxDamageRectsPerReport) {
      note(bounds);
    } else {
      for (int i = 0; i < count; ++i) note(rects[i]);
    }
    if (rects) XFree(rects);
  }
  if (s.showsCursor) {
    if (s.cursorShapeChanged) {
      s.cursorShapeChanged = false;
      s.refreshCursorImage();
      if (s.cursorRectTouchesArea(s.pointerX, s.pointerY)) changed = true;
    }
    const bool look = s.pointerMoved || lookAtPointer || s.inputOpcode < 0;
    s.pointerMoved = false;
    Window rootReturn = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (look && XQueryPointer(d, s.root, &rootReturn, &child, &x, &y, &wx, &wy, &mask) &&
        (x != s.pointerX || y != s.pointerY)) {
      if (s.cursorRectTouchesArea(x, y) || s.cursorRectTouchesArea(s.pointerX, s.pointerY)) changed = true;
      s.pointerX = x;
      s.pointerY = y;
    }
  }
  s.throwIfLost();
  return changed;
}

bool X11DisplayCapture::hasQueuedEvents() {
  state_->throwIfLost();
  return XEventsQueued(state_->display.get(), QueuedAfterFlush) > 0;
}

BgraImageView X11DisplayCapture::capture() {
  auto& s = *state_;
  s.throwIfLost();
  s.changed.addWhole();
  s.hasPicture = false;
  s.readWholeAtOnce();
  const auto view = s.bufferView();
  s.finishPicture(view);
  return view;
}

BgraImageView X11DisplayCapture::capture(const RowSink& sink) { return state_->readWhole(sink); }

BgraImageView X11DisplayCapture::captureChanges() {
  return captureChanges([](const BgraImageView&, int, int) {});
}

BgraImageView X11DisplayCapture::captureChanges(const RowSink& wholeSink) {
  auto& s = *state_;
  s.throwIfLost();
  if (!s.hasPicture || s.pending.isWhole()) return s.readWhole(wholeSink);
  // The damaged parts, and where the cursor was drawn (the screen beneath it comes back).
  ScreenDamage reads = s.pending;
  if (s.drawnCursor) reads.add(*s.drawnCursor);
  if (reads.isWhole()) return s.readWhole(wholeSink);
  for (const auto& part : reads.rects()) {
    if (!s.readPart(part)) return s.readWhole(wholeSink);
  }
  const auto view = s.bufferView();
  s.changed = reads;
  s.finishPicture(view);
  return view;
}

const ScreenDamage& X11DisplayCapture::changed() const noexcept { return state_->changed; }

}  // namespace vantrel

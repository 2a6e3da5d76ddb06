#include "Platform/X11/X11DisplayCapture.hpp"

#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "Platform/X11/X11ScreenImage.hpp"

namespace vantrel {

namespace {

// More damage rectangles than this in one report are taken as their bounds.
constexpr int maxDamageRectsPerReport = 256;

}  // namespace

struct X11DisplayCapture::State {
  // Declared before the connection, which may report its loss while it closes.
  std::atomic<bool> connectionLost{false};
  XDisplayHandle display;
  Window root = 0;
  ScreenRect area;
  int scaleRate = 100;
  // Declared after the connection, which must outlive it.
  std::optional<X11ScreenImage> image;

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
  }

  void throwIfLost() const { throwIfConnectionLost(connectionLost); }

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
    clampHotSpot(cursor);
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
    const auto view = image->view();
    if (!image->readsInBands()) {
      image->readWhole();
      finishPicture(view);
      sink(view, 0, view.height);
      return view;
    }
    // The cursor goes into each band before the band is handed on.
    const auto cursorRect = cursorInArea();
    image->readInBands([&](int firstRow, int rows) {
      if (cursorRect && cursorRect->y < firstRow + rows && cursorRect->y + cursorRect->height > firstRow) {
        drawCursor(
            {view.data + static_cast<std::ptrdiff_t>(firstRow) * view.stride, view.stride, view.width, rows},
            area.x, area.y + firstRow, cursor, pointerX, pointerY);
      }
      sink(view, firstRow, rows);
    });
    drawnCursor = cursorRect;
    finishRead();
    return view;
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

  s.image.emplace(d, s.root, s.area, s.connectionLost);

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
bool X11DisplayCapture::usesSharedMemory() const noexcept { return state_->image->usesSharedMemory(); }
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
  s.image->readWhole();
  const auto view = s.image->view();
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
    if (!s.image->readPart(part)) return s.readWhole(wholeSink);
  }
  const auto view = s.image->view();
  s.changed = reads;
  s.finishPicture(view);
  return view;
}

const ScreenDamage& X11DisplayCapture::changed() const noexcept { return state_->changed; }

}  // namespace vantrel

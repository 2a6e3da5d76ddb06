#include "Platform/X11/XTestInput.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "Platform/X11/XConnection.hpp"
#include "Platform/X11/XDisplayProbe.hpp"

namespace vantrel {

struct XTestInput::Connection {
  Display* display = nullptr;
  bool hasXTest = false;
  // Set by Xlib (on the thread that holds the mutex) when the server connection breaks.
  std::atomic<bool> lost{false};

  ~Connection() { XDisplayCloser{}(display); }
};

// Closes a connection that broke during the call it guards, before the call returns. Xlib keeps
// a broken display locked for the thread that saw the break: closing it later from another
// thread (the next event may arrive on any of the caller's threads) would wait for good.
class XTestInput::DropIfLost {
 public:
  explicit DropIfLost(std::unique_ptr<Connection>& connection) : connection_(connection) {}
  ~DropIfLost() {
    if (connection_ && connection_->lost.load(std::memory_order_acquire)) connection_.reset();
  }
  DropIfLost(const DropIfLost&) = delete;
  DropIfLost& operator=(const DropIfLost&) = delete;

 private:
  std::unique_ptr<Connection>& connection_;
};

namespace {

bool displayHasXTest(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
}

// Pointer coordinates travel as 16-bit values; anything wider would wrap around instead of
// landing on the screen's edge.
int clampToCoordinate(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int16_t>::min(),
                                                   std::numeric_limits<std::int16_t>::max()));
}

}  // namespace

XTestInput::XTestInput() = default;
XTestInput::~XTestInput() = default;

XTestInput::Connection* XTestInput::connection() {
  if (!connection_) {
    auto display = XConnection::openDefault();
    if (!display) return nullptr;
    auto fresh = std::make_unique<Connection>();
    fresh->display = display.release();
    // Marked lost instead of ending the process; replaced on the next call.
    XConnection::watchForLoss(fresh->display, fresh->lost);
    fresh->hasXTest = displayHasXTest(fresh->display);
    connection_ = std::move(fresh);
  }
  if (connection_->lost.load(std::memory_order_acquire)) return nullptr;
  return connection_->hasXTest ? connection_.get() : nullptr;
}

bool XTestInput::isAvailable() {
  std::lock_guard lock(mutex_);
  const DropIfLost drop(connection_);
  return connection() != nullptr;
}

bool XTestInput::movePointer(std::int64_t x, std::int64_t y) {
  std::lock_guard lock(mutex_);
  const DropIfLost drop(connection_);
  Connection* c = connection();
  if (!c) return false;
  const auto main = XDisplayProbe::mainDisplayGeometry(c->display);
  const std::int64_t originX = main ? main->x : 0;
  const std::int64_t originY = main ? main->y : 0;
  const int screen = DefaultScreen(c->display);
  if (!XTestFakeMotionEvent(c->display, screen, clampToCoordinate(originX + x),
                            clampToCoordinate(originY + y), CurrentTime)) {
    return false;
  }
  XSync(c->display, False);
  return !c->lost.load(std::memory_order_acquire);
}

bool XTestInput::postButton(PointerButton button, bool pressed) {
  std::lock_guard lock(mutex_);
  const DropIfLost drop(connection_);
  Connection* c = connection();
  if (!c) return false;
  if (!XTestFakeButtonEvent(c->display, static_cast<unsigned>(button), pressed ? True : False, CurrentTime)) {
    return false;
  }
  XSync(c->display, False);
  return !c->lost.load(std::memory_order_acquire);
}

bool XTestInput::postKey(std::uint32_t keysym, bool pressed) {
  std::lock_guard lock(mutex_);
  const DropIfLost drop(connection_);
  Connection* c = connection();
  if (!c) return false;
  // A key code of 0 would be refused by the server with a protocol error, which Xlib treats as
  // fatal by default; a keysym the keyboard map lacks is therefore reported here instead.
  const KeyCode code = XKeysymToKeycode(c->display, static_cast<KeySym>(keysym));
  if (code == 0) return false;
  if (!XTestFakeKeyEvent(c->display, code, pressed ? True : False, CurrentTime)) return false;
  XSync(c->display, False);
  return !c->lost.load(std::memory_order_acquire);
}

bool XTestInput::probeAvailable() {
  const auto display = XConnection::openDefault();
  return display && displayHasXTest(display.get());
}

}  // namespace vantrel

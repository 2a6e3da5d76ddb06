#include "Platform/X11/ScreenSaverDisplaySleepAssertion.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include "Platform/X11/XConnection.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

const SystemLog& assertionLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "display-sleep");
  return log;
}

// Xlib's stock handlers end the process when the server goes away; this connection is marked lost
// instead and reopened at the next call.
void markConnectionLost(Display*, void* userData) {
  static_cast<std::atomic<bool>*>(userData)->store(true, std::memory_order_release);
}

// Suspension needs version 1.1 of the extension.
bool supportsSuspend(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (!XScreenSaverQueryExtension(display, &eventBase, &errorBase)) return false;
  if (!XScreenSaverQueryVersion(display, &major, &minor)) return false;
  return major > 1 || (major == 1 && minor >= 1);
}

}  // namespace

ScreenSaverDisplaySleepAssertion::ScreenSaverDisplaySleepAssertion(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

ScreenSaverDisplaySleepAssertion::~ScreenSaverDisplaySleepAssertion() {
  std::lock_guard lock(mutex_);
  close();
}

void ScreenSaverDisplaySleepAssertion::close() {
  if (!connection_) return;
  XDisplayCloser{}(connection_->display);
  connection_.reset();
}

// Xlib keeps a broken display locked for the thread that met the break, so only that thread can
// close it: a connection that broke during a call is closed before the call returns, and the
// next call (from whatever thread) opens a new one.
void ScreenSaverDisplaySleepAssertion::closeIfLost() {
  if (connection_ && connection_->lost.load(std::memory_order_acquire)) close();
}

ScreenSaverDisplaySleepAssertion::Connection* ScreenSaverDisplaySleepAssertion::connection() {
  if (!connection_) {
    auto opened = XConnection::openIfReachable(displayName_);
    if (!opened) return nullptr;
    Display* display = opened.get();
    auto fresh = std::make_unique<Connection>();
    fresh->display = opened.release();
    XSetIOErrorExitHandler(display, markConnectionLost, &fresh->lost);
    fresh->hasSuspend = supportsSuspend(display);
    if (!fresh->hasSuspend) assertionLog().notice("the X server has no screen-saver suspension");
    connection_ = std::move(fresh);
  }
  if (connection_->lost.load(std::memory_order_acquire)) return nullptr;
  return connection_.get();
}

bool ScreenSaverDisplaySleepAssertion::declareUserActivity() {
  std::lock_guard lock(mutex_);
  auto* c = connection();
  if (!c) {
    closeIfLost();
    return false;
  }
  XResetScreenSaver(c->display);
  XSync(c->display, False);
  const bool posted = !c->lost.load(std::memory_order_acquire);
  closeIfLost();
  return posted;
}

bool ScreenSaverDisplaySleepAssertion::acquire() {
  std::lock_guard lock(mutex_);
  auto* c = connection();
  if (!c || !c->hasSuspend) {
    closeIfLost();
    return false;
  }
  XScreenSaverSuspend(c->display, True);
  XSync(c->display, False);
  const bool held = !c->lost.load(std::memory_order_acquire);
  closeIfLost();
  return held;
}

void ScreenSaverDisplaySleepAssertion::release() {
  std::lock_guard lock(mutex_);
  if (!connection_ || !connection_->hasSuspend) return;
  XScreenSaverSuspend(connection_->display, False);
  XSync(connection_->display, False);
  closeIfLost();
}

}  // namespace vantrel

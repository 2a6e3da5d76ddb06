#include "Platform/XConnection.hpp"

#include <X11/Xlib.h>

#include <fmt/format.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "Support/SystemLog.hpp"

namespace vantrel {

void XDisplayCloser::operator()(_XDisplay* display) const noexcept {
  if (display) XCloseDisplay(display);
}

namespace XConnection {
namespace {

// Xlib reports a protocol error on the thread that made the failing call.
thread_local int lastErrorCode = 0;

int recordError(Display*, XErrorEvent* event) {
  lastErrorCode = event->error_code;
  return 0;
}

// Xlib calls the process-wide I/O error handler before the connection's own exit handler, and
// the stock one ends the process. This one only returns, so each connection's exit handler
// decides.
int returnFromIOError(Display* display) {
  static const SystemLog log("local.vantrel.VantrelMac", "display");
  log.error("X server connection lost: {}", display ? DisplayString(display) : "");
  return 0;
}

void markLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

void installErrorHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XSetErrorHandler(recordError);
    XSetIOErrorHandler(returnFromIOError);
  });
}

}  // namespace

XDisplayHandle open(const std::optional<std::string>& displayName) {
  installErrorHandlers();
  std::string name;
  if (displayName) {
    name = *displayName;
  } else if (const char* env = std::getenv("DISPLAY")) {
    name = env;
  }
  if (name.empty()) throw X11CaptureError::noDisplay("No X display is set (DISPLAY is empty).");
  XDisplayHandle display(XOpenDisplay(name.c_str()));
  if (!display) {
    throw X11CaptureError::accessDenied(fmt::format("The X display {} refused the connection.", name));
  }
  return display;
}

XDisplayHandle openDefault() noexcept {
  installErrorHandlers();
  return XDisplayHandle(XOpenDisplay(nullptr));
}

void watchForLoss(Display* display, std::atomic<bool>& lost) noexcept {
  XSetIOErrorExitHandler(display, markLost, &lost);
}

int takeLastError() noexcept { return std::exchange(lastErrorCode, 0); }

}  // namespace XConnection
}  // namespace vantrel

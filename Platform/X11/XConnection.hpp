#pragma once

// The process's X connection state in one place. Xlib's error handlers are process-wide and its
// defaults end the process on a protocol error or a lost connection; every connection the
// agent opens goes through here, so the handlers are installed once, by one owner: a protocol
// error is recorded for the thread that made the call, and a lost connection is left to the
// connection's own exit handler (ours fail the calls or mark it lost; other code's keep the
// stock exit). Xlib keeps a lost connection locked for the thread that noticed the loss: only
// that thread may close it, so each owner closes it before that call returns. Opens and closes
// from different threads are kept from overlapping here as well (see XDisplayCloser).

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Support/Error.hpp"

// Xlib's display connection type, declared here so that callers need no X headers.
struct _XDisplay;  // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace vantrel {

// Why the display could not be reached or read.
class X11CaptureError : public Error {
 public:
  enum class Case {
    noDisplay,     // no display is named, or it has no monitor to capture
    accessDenied,  // the X server refused the connection or the capture
    failed,        // anything else, with a detail text
    unreachable,   // no X server answers at the display's address (stopped, or not started yet)
  };

  static X11CaptureError noDisplay(std::string detail) { return {Case::noDisplay, std::move(detail)}; }
  static X11CaptureError accessDenied(std::string detail) { return {Case::accessDenied, std::move(detail)}; }
  static X11CaptureError failed(std::string detail) { return {Case::failed, std::move(detail)}; }
  static X11CaptureError unreachable(std::string detail) { return {Case::unreachable, std::move(detail)}; }

  Case kind() const noexcept { return case_; }
  const std::string& detail() const noexcept { return detail_; }

  std::optional<std::string> errorDescription() const override { return detail_; }
  std::string errorDomain() const override { return "VantrelPlatform.X11CaptureError"; }
  int errorCode() const override { return static_cast<int>(case_); }

 private:
  X11CaptureError(Case c, std::string detail) : case_(c), detail_(std::move(detail)) {}
  Case case_;
  std::string detail_;
};

// Closes a connection while no other thread opens, sets up or closes one (see XConnection.cpp):
// every connection of the process is closed through here.
struct XDisplayCloser {
  void operator()(_XDisplay* display) const noexcept;
};
using XDisplayHandle = std::unique_ptr<_XDisplay, XDisplayCloser>;

namespace XConnection {

// Opens the display named `displayName` (the DISPLAY variable when none). Throws
// `X11CaptureError`: noDisplay when no display is named, unreachable when no server listens at
// its address (the server went away or has not started), accessDenied when a server listens but
// refuses the connection. Every call connects afresh, so a server that comes back is used again.
XDisplayHandle open(const std::optional<std::string>& displayName);

// Whether an X server accepts connections at the address of the display `name` ("[host]:N[.S]",
// optionally with a "unix/" or "tcp/" prefix): Xlib reports a refused connection and a missing
// server alike, and only the second means the display is gone.
bool serverListens(const std::string& name) noexcept;
// The DISPLAY variable's display; null when none can be reached.
XDisplayHandle openDefault() noexcept;
// The display named `displayName` (the DISPLAY variable's when none); null when it cannot be
// opened.
XDisplayHandle openIfReachable(const std::optional<std::string>& displayName) noexcept;

// Sets `lost` when the connection breaks, instead of ending the process. `lost` must outlive
// the connection.
void watchForLoss(_XDisplay* display, std::atomic<bool>& lost) noexcept;

// The code of the last protocol error on this thread (0 for none), cleared by reading it.
int takeLastError() noexcept;

}  // namespace XConnection
}  // namespace vantrel

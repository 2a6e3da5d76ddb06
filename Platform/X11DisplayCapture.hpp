#pragma once

// Capture of the main display of an X server: the primary RandR monitor (else the whole root
// window) read through the MIT-SHM extension (plain GetImage where it is missing), the cursor
// drawn in through XFixes, and changes noticed through XDamage. One object belongs to one
// thread: every call after construction must come from the thread that built it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  };

  static X11CaptureError noDisplay(std::string detail) { return {Case::noDisplay, std::move(detail)}; }
  static X11CaptureError accessDenied(std::string detail) { return {Case::accessDenied, std::move(detail)}; }
  static X11CaptureError failed(std::string detail) { return {Case::failed, std::move(detail)}; }

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

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

// One RandR monitor (or the root window when the server has no RandR monitors).
struct X11MonitorInfo {
  std::uint32_t id = 0;  // the XID of the monitor's first output; 0 for the root window
  std::string name;
  ScreenRect bounds;
  bool isPrimary = false;
};

// The display's layout as the capture needs it.
struct X11DisplayLayout {
  ScreenRect root;
  std::vector<X11MonitorInfo> monitors;  // in the server's order; the primary one is flagged
  bool hasRandrMonitors = false;
  // Pixels per point as a percentage, from the server's "Xft.dpi" (100 when not scaled).
  int scaleRate = 100;

  // The area to capture: the primary monitor, else the first monitor, else (without RandR
  // monitors) the root window. Nullopt when RandR lists no monitor or the area is empty.
  std::optional<ScreenRect> mainArea() const;
};

// A BGRA picture in memory (byte order B, G, R, A; what libyuv calls ARGB).
struct BgraImageView {
  std::uint8_t* data = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

// A cursor image: premultiplied ARGB words, hot spot, and the pointer position on the root.
struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<std::uint32_t> argb;  // width * height, premultiplied alpha
};

// Draws `cursor` (premultiplied) onto `image`, whose top-left corner lies at `origin` of the root
// window, with the pointer at (`pointerX`, `pointerY`) of the root. Parts outside are clipped.
void drawCursor(const BgraImageView& image, int originX, int originY, const CursorImage& cursor, int pointerX,
                int pointerY) noexcept;

// Opens the display named `displayName` (the DISPLAY variable when none) and reads its layout.
// Throws `X11CaptureError`: noDisplay when no display is named, accessDenied when the server
// refuses the connection.
X11DisplayLayout readX11DisplayLayout(const std::optional<std::string>& displayName = std::nullopt);
// The layout of a display already open.
X11DisplayLayout readX11DisplayLayout(::_XDisplay* display);

class X11DisplayCapture {
 public:
  struct Options {
    std::optional<std::string> displayName;  // DISPLAY when none
    bool showsCursor = true;
    bool tracksDamage = true;
  };

  // Connects, picks the main area and prepares the shared-memory image. Throws X11CaptureError.
  explicit X11DisplayCapture(const Options& options);
  ~X11DisplayCapture();
  X11DisplayCapture(const X11DisplayCapture&) = delete;
  X11DisplayCapture& operator=(const X11DisplayCapture&) = delete;

  ScreenRect area() const noexcept;
  bool usesSharedMemory() const noexcept;
  int scaleRate() const noexcept;
  // The connection's file descriptor, readable when events arrive.
  int connectionFd() const noexcept;

  // Handles every event that has arrived. Returns true when the captured area (or, with the
  // cursor shown, the cursor's position or shape over it) changed since the previous call.
  // Throws X11CaptureError when the connection is lost.
  bool collectChanges();

  // True when events wait in the client's queue (read along with a reply); wait on the
  // connection's descriptor only when this is false.
  bool hasQueuedEvents();

  // Reads the area into the capture's own buffer and draws the cursor when asked. The view stays
  // valid until the next call. Throws X11CaptureError (accessDenied when the server refuses).
  BgraImageView capture();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

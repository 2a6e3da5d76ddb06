#pragma once

// Where the screen stream reads the main display from: an X server (X11DisplayCapture) or the
// compositor of a GNOME Wayland session (MutterScreenCast). The capture loop and the pixel
// converter see only this; which one a stream gets is decided once, by openDisplayCaptureSource().
// A source belongs to one thread: every call after construction comes from the thread that built
// it.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Ports/DisplayLayout.hpp"
#include "Platform/Ports/ScreenDamage.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// A BGRA picture in memory (byte order B, G, R, A; what libyuv calls ARGB).
struct BgraImageView {
  std::uint8_t* data = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

// Why the compositor's screen cast could not start or went on no longer.
class CompositorCaptureError : public Error {
 public:
  enum class Case {
    unavailable,  // the compositor's services are not on the session bus, or answer nothing usable
    refused,      // the compositor refused to record the monitor
    ended,        // the compositor ended the cast (it stopped, crashed, or closed the session)
    failed,       // anything else, with a detail text
  };

  static CompositorCaptureError unavailable(std::string detail) {
    return {Case::unavailable, std::move(detail)};
  }
  static CompositorCaptureError refused(std::string detail) { return {Case::refused, std::move(detail)}; }
  static CompositorCaptureError ended(std::string detail) { return {Case::ended, std::move(detail)}; }
  static CompositorCaptureError failed(std::string detail) { return {Case::failed, std::move(detail)}; }

  Case kind() const noexcept { return case_; }
  const std::string& detail() const noexcept { return detail_; }

  std::optional<std::string> errorDescription() const override { return detail_; }
  std::string errorDomain() const override { return "VantrelPlatform.CompositorCaptureError"; }
  int errorCode() const override { return static_cast<int>(case_); }

 private:
  CompositorCaptureError(Case c, std::string detail) : case_(c), detail_(std::move(detail)) {}
  Case case_;
  std::string detail_;
};

class DisplayCaptureSource {
 public:
  virtual ~DisplayCaptureSource() = default;

  // The captured area in the desktop's coordinates.
  virtual ScreenRect area() const noexcept = 0;
  // True when the pixels come without a copy through the display server's socket.
  virtual bool usesSharedMemory() const noexcept = 0;
  // A descriptor that becomes readable when collectChanges() has something to handle.
  virtual int pollFd() const noexcept = 0;

  // Handles everything that has arrived. Returns true when the captured area (or, with the cursor
  // shown, the cursor's position or shape over it) changed since the previous call. With
  // `lookAtPointer` the pointer's position is asked for even when no motion was reported.
  // Throws when the source is lost (X11CaptureError, CompositorCaptureError).
  virtual bool collectChanges(bool lookAtPointer = false) = 0;
  // True when pointer motion arrives by itself, so that nobody needs to poll for it.
  virtual bool followsPointerByEvents() const noexcept = 0;
  // True when something waits to be handled that the descriptor will not report.
  virtual bool hasQueuedEvents() = 0;

  // The whole area with the cursor drawn in when asked; the view stays valid until the next call.
  virtual BgraImageView capture() = 0;
  // Receives rows `firstRow` to `firstRow + rowCount` of `image` as soon as they hold the screen;
  // the rows above them have been received before. Bands begin on multiples of 4 rows.
  using RowSink = std::function<void(const BgraImageView& image, int firstRow, int rowCount)>;
  virtual BgraImageView capture(const RowSink& sink) = 0;
  // What changed since the previous capture (`changed()` says where); the whole area, handed to
  // `wholeSink` as capture(sink) does, when the source cannot tell or too much changed.
  virtual BgraImageView captureChanges() = 0;
  virtual BgraImageView captureChanges(const RowSink& wholeSink) = 0;
  // The parts of the buffer (area coordinates) the latest capture may have changed.
  virtual const ScreenDamage& changed() const noexcept = 0;
};

struct DisplayCaptureOptions {
  std::optional<std::string> displayName;  // the X display (DISPLAY when none); unused on Wayland
  bool showsCursor = true;
  bool tracksDamage = true;
};

// The source of this process's desktop (DesktopBackend::current()): the X display, or the GNOME
// Wayland compositor's screen cast of the primary monitor. Throws as the chosen source's
// constructor does; CompositorCaptureError::unavailable on a Wayland desktop without the services.
std::unique_ptr<DisplayCaptureSource> openDisplayCaptureSource(const DisplayCaptureOptions& options);

// The desktop's monitor layout from the same place: the X server's RandR monitors, or the GNOME
// compositor's logical monitors (the primary one flagged). Throws X11CaptureError or
// CompositorCaptureError.
DisplayLayout readDisplayLayout(const std::optional<std::string>& displayName = std::nullopt);

// The main display's area and scale from the same place; nullopt when it cannot be read.
std::optional<MainDisplayInfo> readMainDisplay();

}  // namespace vantrel

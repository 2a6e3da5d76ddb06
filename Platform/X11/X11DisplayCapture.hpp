#pragma once

// Capture of the main display of an X server: the primary RandR monitor (else the whole root
// window) read through the MIT-SHM extension (plain GetImage where it is missing), the cursor
// drawn in through XFixes (its shape) and XInput 2 (its motion), and changes noticed through
// XDamage. One object belongs to one
// thread: every call after construction must come from the thread that built it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Ports/CursorImage.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/X11/XConnection.hpp"
#include "Platform/X11/XDisplayProbe.hpp"

namespace vantrel {

class X11DisplayCapture final : public DisplayCaptureSource {
 public:
  struct Options {
    std::optional<std::string> displayName;  // DISPLAY when none
    bool showsCursor = true;
    bool tracksDamage = true;
  };

  // Connects, picks the main area and prepares the shared-memory image. Throws X11CaptureError.
  explicit X11DisplayCapture(const Options& options);
  ~X11DisplayCapture() override;
  X11DisplayCapture(const X11DisplayCapture&) = delete;
  X11DisplayCapture& operator=(const X11DisplayCapture&) = delete;

  ScreenRect area() const noexcept override;
  bool usesSharedMemory() const noexcept override;
  int scaleRate() const noexcept;
  // The connection's file descriptor, readable when events arrive.
  int connectionFd() const noexcept;
  int pollFd() const noexcept override { return connectionFd(); }

  // Handles every event that has arrived. Returns true when the captured area (or, with the
  // cursor shown, the cursor's position or shape over it) changed since the previous call. The
  // pointer's position is asked for when motion was reported, when `lookAtPointer` is set (a
  // warped pointer reports no motion) or when motion is not reported at all.
  // Throws X11CaptureError when the connection is lost.
  bool collectChanges(bool lookAtPointer = false) override;

  // True when pointer motion arrives as events, so that nobody needs to poll for it.
  bool followsPointerByEvents() const noexcept override;

  // True when events wait in the client's queue (read along with a reply); wait on the
  // connection's descriptor only when this is false.
  bool hasQueuedEvents() override;

  // Reads the area into the capture's own buffer in one request and draws the cursor when asked.
  // The view stays valid until the next call. Throws X11CaptureError (accessDenied when the
  // server refuses).
  BgraImageView capture() override;

  // Receives rows `firstRow` to `firstRow + rowCount` of `image` as soon as they hold the screen,
  // cursor included; the rows above them have been received before.
  // Like capture(), but reads the area a band of rows at a time and hands each band to `sink`
  // while the X server copies the next one: the rows can be used while they are still in the
  // processor's cache, and the server's copy overlaps their use. Bands begin on multiples of 4
  // rows. Without shared memory the whole area is read, then handed over as one band.
  BgraImageView capture(const RowSink& sink) override;

  // Like capture(), but reads only what changed since the previous capture: the damage reported
  // to collectChanges(), where the cursor was drawn and where it is now. The rest of the buffer
  // still holds the previous picture, which was the screen there. Reads the whole area when
  // there is no previous picture, when damage is not reported, or when the damage covers much of
  // the area or lies scattered over it. `changed()` then says which parts differ.
  BgraImageView captureChanges() override;
  // The same, reading the whole area as capture(wholeSink) does when it reads it whole; a read of
  // the changed parts calls `wholeSink` not at all.
  BgraImageView captureChanges(const RowSink& wholeSink) override;

  // The parts of the buffer (area coordinates) the latest capture may have changed: whole after
  // capture() or a whole read.
  const ScreenDamage& changed() const noexcept override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

#pragma once

// Capture of the primary monitor of a GNOME Wayland session through the compositor's own
// screen-cast service: one reader of the cast the process shares (MutterScreenCastSession), used
// on the thread that builds it. pollFd() reports the stream's new frames and the bus.
//
// The compositor sends whole frames, no damage, and nothing while the screen is still: each frame
// is compared with this reader's previous one tile by tile (FrameTileDiff), so that only what
// differs counts as changed. The cursor comes as metadata and is drawn into the picture here.

#include <chrono>
#include <memory>

#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {

class MutterScreenCast final : public DisplayCaptureSource {
 public:
  struct Options {
    bool showsCursor = true;
    // How long the start may wait for the compositor's stream and its first frame.
    std::chrono::milliseconds startTimeout = std::chrono::seconds(5);
  };

  // Joins the process's cast of the primary monitor (opening it when none runs) and waits for the
  // first frame. Throws CompositorCaptureError: unavailable (no service, no stream or no picture in
  // time), refused (the compositor refused to record), ended (it ended the cast meanwhile).
  explicit MutterScreenCast(const Options& options);
  ~MutterScreenCast() override;
  MutterScreenCast(const MutterScreenCast&) = delete;
  MutterScreenCast& operator=(const MutterScreenCast&) = delete;

  ScreenRect area() const noexcept override;
  bool usesSharedMemory() const noexcept override { return true; }
  int pollFd() const noexcept override;
  // Throws CompositorCaptureError::ended once the compositor has ended the cast (closed the
  // session, left the bus, or its stream failed).
  bool collectChanges(bool lookAtPointer = false) override;
  bool followsPointerByEvents() const noexcept override { return true; }
  bool hasQueuedEvents() override { return false; }
  BgraImageView capture() override;
  BgraImageView capture(const RowSink& sink) override;
  BgraImageView captureChanges() override;
  BgraImageView captureChanges(const RowSink& wholeSink) override;
  const ScreenDamage& changed() const noexcept override;

  // The PipeWire node the compositor streams to (for diagnostics and tests).
  std::uint32_t nodeId() const noexcept;
  // Frames received so far, and those among them that differed from the previous one.
  std::uint64_t framesReceived() const noexcept;
  std::uint64_t framesChanged() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

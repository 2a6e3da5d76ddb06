#pragma once

// The consumer of the PipeWire stream a compositor's screen cast opens. Buffers are taken on
// PipeWire's data thread, in the graph cycle that delivers them, whatever its readers (one per
// capture loop) and the stream's own thread loop (its events) are doing: of the frames only the
// newest is kept, every older one goes back to the compositor at once. The compositor drops a frame for want
// of a free buffer and sends nothing more while the screen is still, so a buffer it lacks would freeze the
// picture for good.
//
// Who owns a pw_buffer when:
//  - the compositor, from the moment it is queued back until the stream takes the next frame;
//  - the stream, as `latest`, from its arrival until a newer frame replaces it;
//  - each reader that took it with takeNewer(), until it calls release() (at once: a buffer
//    taken stays marked busy for the compositor, which drops the frame it meant to draw into it);
//  it is queued back the moment it is neither latest nor held by any reader. So at most
//  readers + 1 buffers are ours, plus those given back that the graph has not yet returned (it
//  returns one per frame it delivers).
//
// A reader reads a buffer through a private mapping of its own (its file is duplicated here, so
// the memory outlives the stream's buffer); a buffer that is no file is read under lock().

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Ports/CursorImage.hpp"

struct pw_buffer;

namespace vantrel {

class PipeWireScreenStream {
 public:
  // One of the stream's buffers, kept alive by whoever still reads it.
  struct Buffer {
    int fd = -1;  // a duplicate of the buffer's memory file; -1 when it is none
    std::uint64_t mapOffset = 0;
    std::uint64_t maxSize = 0;
    std::atomic<bool> live{true};  // false once the stream let it go
    // Under lock() only: the stream's own mapping (read-only), null once the buffer is gone.
    const std::uint8_t* data = nullptr;
    pw_buffer* buffer = nullptr;
    int holders = 0;
    ~Buffer();
  };

  // A frame whose size and stride fit its buffer.
  struct Frame {
    std::shared_ptr<Buffer> buffer;
    std::uint64_t offset = 0;  // of the first row from the buffer's data
    int stride = 0;
    int width = 0;
    int height = 0;
    std::uint64_t serial = 0;  // grows with every frame
  };

  // The cursor as the latest metadata describes it, in stream pixels; `serial` grows with every
  // change, `shapeSerial` with every new shape.
  struct Cursor {
    bool visible = false;
    int x = 0;
    int y = 0;
    std::shared_ptr<const CursorImage> shape;
    std::uint64_t serial = 0;
    std::uint64_t shapeSerial = 0;
  };

  // Connects to node `node` and starts the thread. With `readsCursor`, cursor metadata is read.
  // Throws CompositorCaptureError::unavailable when PipeWire cannot be reached.
  PipeWireScreenStream(std::uint32_t node, bool readsCursor);
  ~PipeWireScreenStream();
  PipeWireScreenStream(const PipeWireScreenStream&) = delete;
  PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

  // `eventFd` is written to whenever a frame, a cursor change or the end arrives.
  void addWaker(int eventFd);
  void removeWaker(int eventFd);

  // The newest frame when it is newer than serial `seen`; the caller holds it until release().
  std::optional<Frame> takeNewer(std::uint64_t seen);
  void release(const Frame& frame);
  Cursor cursor() const;
  // Why the stream ended, once it has (failed, disconnected, or its format cannot be read).
  std::optional<std::string> ended() const;
  // A pause and a resume of the stream, for a fresh frame of a still screen.
  void askForFrame();
  // Runs `read` with the taking of frames held off: a Buffer's `data` stays valid meanwhile.
  void lock(const std::function<void()>& read);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

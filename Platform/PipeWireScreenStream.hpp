#pragma once

// The consumer of the PipeWire stream a compositor's screen cast opens: a loop, context, core and
// stream of its own (on the thread that builds it), the stream's format and buffers agreed, the
// buffers' memory mapped again privately so that a cursor may be drawn into a frame where it is,
// the cursor metadata read, and of the frames only the newest kept. What the frames mean is the
// listener's: it is told of the size, the cursor, the end, and buffers going away.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/X11DisplayCapture.hpp"

struct pw_buffer;

namespace vantrel {

class PipeWireScreenStream {
 public:
  // The cursor as one buffer's metadata describes it, in stream pixels.
  struct Cursor {
    bool visible = false;
    int x = 0;  // the pointer, when visible
    int y = 0;
    std::optional<CursorImage> shape;  // when the metadata carries a readable one
  };

  // A frame whose size and stride fit its buffer. `buffer` is ours until given back.
  struct Frame {
    pw_buffer* buffer = nullptr;
    std::uint8_t* pixels = nullptr;  // the first row
    int stride = 0;
    bool writable = false;  // in our private mapping: what is drawn into it stays with us
  };

  // Called from within the construction, iterate() and askForFrame().
  class Listener {
   public:
    // The stream failed or was disconnected, or its format cannot be read.
    virtual void streamEnded(std::string why) = 0;
    // The agreed picture size changed. Buffers of the former size go away with it without being
    // reported, and are not to be handed back.
    virtual void sizeChanged(int width, int height) = 0;
    // A dequeued buffer carried cursor metadata.
    virtual void cursorReported(Cursor cursor) = 0;
    // `buffer` goes away; it is the stream's again already, and its mapping is still readable.
    virtual void bufferRemoved(pw_buffer* buffer) = 0;

   protected:
    ~Listener() = default;
  };

  // Connects to node `node`. With `drawsCursor`, buffers are mapped privately and cursor metadata is
  // read. Throws CompositorCaptureError::unavailable when PipeWire cannot be reached.
  PipeWireScreenStream(std::uint32_t node, bool drawsCursor, Listener& listener);
  ~PipeWireScreenStream();
  PipeWireScreenStream(const PipeWireScreenStream&) = delete;
  PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

  // The loop's descriptor: readable when iterate() has something to do.
  int fd() const noexcept;
  // Handles what has arrived from PipeWire, without waiting.
  void iterate();
  // A pause and a resume of the stream, for a fresh frame of a still screen.
  void askForFrame();
  // The newest frame that arrived since the latest call, when it fits its buffer; a frame that
  // does not is given back (the first rejection is logged).
  std::optional<Frame> takeNewest();
  // Drops what this process wrote into `buffer` between `from` and `to` (pointers into its frame),
  // so that the compositor's next frame in it is seen whole.
  void dropWrites(pw_buffer* buffer, const std::uint8_t* from, const std::uint8_t* to) noexcept;
  // Hands `buffer` back to the compositor.
  void giveBack(pw_buffer* buffer) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

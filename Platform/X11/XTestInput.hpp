#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace vantrel {

// X pointer buttons as the core protocol numbers them; 4 and 5 are one wheel notch up and down.
enum class XPointerButton : unsigned { left = 1, middle = 2, right = 3, wheelUp = 4, wheelDown = 5 };

// What the input injector needs of the window system: synthetic pointer and key events on the
// main display. Every call returns false when the event could not be posted. Implementations
// must be callable from any thread.
class XTestInputPosting {
 public:
  virtual ~XTestInputPosting() = default;

  // True when a display is reachable and lets this process post synthetic events (XTEST).
  virtual bool isAvailable() = 0;
  // Moves the pointer to (x, y) in pixels of the main display (origin at its top-left corner).
  // Coordinates outside the screen are clamped by the server.
  virtual bool movePointer(std::int64_t x, std::int64_t y) = 0;
  virtual bool postButton(XPointerButton button, bool pressed) = 0;
  // Presses or releases the key that produces `keysym` at its base level; false when the
  // keyboard map has no key for it.
  virtual bool postKey(std::uint32_t keysym, bool pressed) = 0;
};

// Synthetic input through the XTEST extension on the display named by DISPLAY. The connection is
// opened on first use and kept; when it cannot be opened the next call tries again, and a
// connection the server dropped is replaced on the next call. Every posting call waits until the
// server has processed the event, so it has taken effect when the call returns.
class XTestInput final : public XTestInputPosting {
 public:
  XTestInput();
  ~XTestInput() override;
  XTestInput(const XTestInput&) = delete;
  XTestInput& operator=(const XTestInput&) = delete;

  bool isAvailable() override;
  bool movePointer(std::int64_t x, std::int64_t y) override;
  bool postButton(XPointerButton button, bool pressed) override;
  bool postKey(std::uint32_t keysym, bool pressed) override;

  // True when the display can be reached and offers XTEST; opens and closes its own connection.
  static bool probeAvailable();

 private:
  struct Connection;
  class DropIfLost;
  // Returns an open connection with XTEST, or null. Called with mutex_ held, by a call that
  // holds a DropIfLost for the whole time it uses the connection.
  Connection* connection();

  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace vantrel

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "Platform/Ports/InputPosting.hpp"

namespace vantrel {

// Synthetic input through the XTEST extension on the display named by DISPLAY. The connection is
// opened on first use and kept; when it cannot be opened the next call tries again, and a
// connection the server dropped is replaced on the next call. Every posting call waits until the
// server has processed the event, so it has taken effect when the call returns.
class XTestInput final : public InputPosting {
 public:
  XTestInput();
  ~XTestInput() override;
  XTestInput(const XTestInput&) = delete;
  XTestInput& operator=(const XTestInput&) = delete;

  bool isAvailable() override;
  bool movePointer(std::int64_t x, std::int64_t y) override;
  bool postButton(PointerButton button, bool pressed) override;
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

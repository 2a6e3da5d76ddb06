#pragma once

// Watches the X server from a separate client: every pointer and key event the server delivers,
// whoever caused it, recorded with the RECORD extension on a thread of its own.

#include <X11/Xlib.h>
#include <X11/extensions/record.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::testing {

struct RecordedXEvent {
  int type = 0;         // KeyPress, KeyRelease, ButtonPress, ButtonRelease, MotionNotify
  unsigned detail = 0;  // key code or button number
  int rootX = 0;
  int rootY = 0;

  friend bool operator==(const RecordedXEvent&, const RecordedXEvent&) = default;
};

class XEventRecorder {
 public:
  XEventRecorder();
  ~XEventRecorder();
  XEventRecorder(const XEventRecorder&) = delete;
  XEventRecorder& operator=(const XEventRecorder&) = delete;

  bool isRecording() const noexcept { return recording_ && started_; }

  // Waits until `count` events have been recorded in all, or the hang guard passes; returns
  // what was recorded.
  std::vector<RecordedXEvent> waitForCount(std::size_t count);
  // Every event so far, after making sure the server has delivered everything it processed
  // before this call (a round trip on a fresh event marker).
  std::vector<RecordedXEvent> settle();
  void clear();

 private:
  static void onIntercept(XPointer closure, XRecordInterceptData* data);

  Display* control_ = nullptr;
  Display* data_ = nullptr;
  XRecordContext context_ = 0;
  bool recording_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedXEvent> events_;
  const std::string markerPrefix_;
  unsigned long markersSent_ = 0;  // test thread only
  unsigned long markersSeen_ = 0;
  std::atomic<bool> started_{false};
};

// Where the pointer is and which buttons are down, asked on a connection of the test's own.
struct PointerState {
  int x = 0;
  int y = 0;
  unsigned mask = 0;
};
PointerState queryPointer();
// Whether the key producing `keysym` is down right now.
bool isKeyDown(unsigned long keysym);
unsigned keycodeFor(unsigned long keysym);

}  // namespace vantrel::testing

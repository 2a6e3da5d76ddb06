#include "XEventRecorder.hpp"

#include <X11/Xproto.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <string>

#include "Platform/X11/XConnection.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel::testing {

XEventRecorder::XEventRecorder()
    : markerPrefix_("VantrelRecorderMarker-" + std::to_string(::getpid()) + "-") {
  // Through the program's own opens and closes, which never overlap those of the code under test.
  control_ = XConnection::openDefault().release();
  data_ = XConnection::openDefault().release();
  if (!control_ || !data_) return;
  int major = 0;
  int minor = 0;
  if (!XRecordQueryVersion(control_, &major, &minor)) return;

  XRecordRange* ranges[2] = {XRecordAllocRange(), XRecordAllocRange()};
  ranges[0]->device_events.first = KeyPress;
  ranges[0]->device_events.last = MotionNotify;
  // The marker of `settle`: an atom look-up under a name only this recorder uses. When it comes
  // back, everything the server processed before it has been recorded.
  ranges[1]->core_requests.first = X_InternAtom;
  ranges[1]->core_requests.last = X_InternAtom;
  XRecordClientSpec clients = XRecordAllClients;
  context_ = XRecordCreateContext(control_, 0, &clients, 1, ranges, 2);
  XFree(ranges[0]);
  XFree(ranges[1]);
  if (!context_) return;
  XSync(control_, False);
  recording_ = true;
  thread_ = std::thread([this] {
    XRecordEnableContext(data_, context_, &XEventRecorder::onIntercept, reinterpret_cast<XPointer>(this));
  });
  // Recording begins when the server announces the start of data.
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, hangGuard, [this] { return started_.load(); });
}

XEventRecorder::~XEventRecorder() {
  if (recording_) {
    XRecordDisableContext(control_, context_);
    XSync(control_, False);
    thread_.join();
    XRecordFreeContext(control_, context_);
  }
  XDisplayCloser{}(data_);
  XDisplayCloser{}(control_);
}

void XEventRecorder::onIntercept(XPointer closure, XRecordInterceptData* data) {
  auto* self = reinterpret_cast<XEventRecorder*>(closure);
  if (data->category == XRecordFromServer && data->data_len * 4 >= sizeof(xEvent)) {
    const auto* event = reinterpret_cast<const xEvent*>(data->data);
    RecordedXEvent recorded;
    recorded.type = event->u.u.type & 0x7F;
    recorded.detail = event->u.u.detail;
    recorded.rootX = event->u.keyButtonPointer.rootX;
    recorded.rootY = event->u.keyButtonPointer.rootY;
    {
      std::lock_guard lock(self->mutex_);
      self->events_.push_back(recorded);
    }
    self->changed_.notify_all();
  } else if (data->category == XRecordStartOfData) {
    {
      std::lock_guard lock(self->mutex_);
      self->started_ = true;
    }
    self->changed_.notify_all();
  } else if (data->category == XRecordFromClient && data->data_len * 4 >= sizeof(xInternAtomReq)) {
    const auto* request = reinterpret_cast<const xInternAtomReq*>(data->data);
    const std::size_t available = data->data_len * 4 - sizeof(xInternAtomReq);
    if (request->reqType == X_InternAtom && request->nbytes <= available) {
      const std::string name(reinterpret_cast<const char*>(request + 1), request->nbytes);
      const std::string prefix = self->markerPrefix_;
      unsigned long marker = 0;
      const char* digits = name.data() + prefix.size();
      if (name.rfind(prefix, 0) == 0 &&
          std::from_chars(digits, name.data() + name.size(), marker).ec == std::errc{}) {
        {
          std::lock_guard lock(self->mutex_);
          self->markersSeen_ = std::max(self->markersSeen_, marker);
        }
        self->changed_.notify_all();
      }
    }
  }
  XRecordFreeData(data);
}

std::vector<RecordedXEvent> XEventRecorder::waitForCount(std::size_t count) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, hangGuard, [&] { return events_.size() >= count; });
  return events_;
}

std::vector<RecordedXEvent> XEventRecorder::settle() {
  const unsigned long marker = ++markersSent_;
  XInternAtom(control_, (markerPrefix_ + std::to_string(marker)).c_str(), True);
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, hangGuard, [&] { return markersSeen_ >= marker; });
  return events_;
}

void XEventRecorder::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

PointerState queryPointer() {
  PointerState state;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return state;
  Window root = 0;
  Window child = 0;
  int winX = 0;
  int winY = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &state.x, &state.y, &winX, &winY,
                &state.mask);
  XCloseDisplay(display);
  return state;
}

unsigned keycodeFor(unsigned long keysym) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 0;
  const unsigned code = XKeysymToKeycode(display, keysym);
  XCloseDisplay(display);
  return code;
}

bool isKeyDown(unsigned long keysym) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  char keys[32] = {};
  XQueryKeymap(display, keys);
  const unsigned code = XKeysymToKeycode(display, keysym);
  XCloseDisplay(display);
  return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
}

}  // namespace vantrel::testing

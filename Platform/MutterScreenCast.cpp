#include "Platform/MutterScreenCast.hpp"

#include <sys/epoll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FrameTileDiff.hpp"
#include "Platform/MutterBus.hpp"
#include "Platform/MutterDisplayConfig.hpp"
#include "Platform/PipeWireScreenStream.hpp"
#include "Platform/X11DisplayCapture.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

namespace {

constexpr const char* service = MutterScreenCastService::name;
constexpr const char* sessionInterface = MutterScreenCastService::sessionInterface;
constexpr const char* streamInterface = MutterScreenCastService::streamInterface;
constexpr const char* endedText = "The compositor ended the screen cast.";

// Cursor modes of RecordMonitor.
constexpr std::uint32_t cursorHidden = 0;
constexpr std::uint32_t cursorAsMetadata = 2;

const SystemLog& castLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "screen");
  return log;
}

}  // namespace

struct MutterScreenCast::State final : PipeWireScreenStream::Listener {
  bool showsCursor = true;

  // The bus connection: the session belongs to it, and ends with it.
  sd_bus* bus = nullptr;
  sd_bus_slot* ownerSlot = nullptr;
  sd_bus_slot* closedSlot = nullptr;
  sd_bus_slot* streamAddedSlot = nullptr;
  std::string sessionPath;
  std::string streamPath;
  bool sessionStarted = false;
  std::optional<std::uint32_t> node;

  // Why the cast is over, once it is.
  std::optional<std::string> ended;

  std::unique_ptr<PipeWireScreenStream> video;
  // Both the bus connection and the PipeWire loop.
  int epollFd = -1;

  // The picture: the latest frame, with the cursor drawn in at capture. It stays in the
  // compositor's buffer (`held`, kept from the stream until the next frame replaces it) when that
  // buffer may be written; otherwise it is copied into `pixels`, tile by tile where it changed.
  ScreenRect area;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
  BgraImageView view;
  pw_buffer* held = nullptr;
  BgraImageView heldView;
  // The rows of `held` this process wrote into (the cursor, and what it covered).
  int dirtyTop = 0;
  int dirtyBottom = 0;
  bool hasFrame = false;
  bool frameChanged = false;
  ScreenDamage pending;  // changed since the latest capture
  ScreenDamage changedParts;
  std::uint64_t framesReceived = 0;
  std::uint64_t framesChanged = 0;
  bool modeLogged = false;

  // The cursor as the compositor last described it, in stream pixels.
  CursorImage cursor;
  bool cursorVisible = false;
  int pointerX = 0;
  int pointerY = 0;
  bool cursorChanged = false;
  std::optional<ScreenRect> drawnCursor;  // in the buffer now; `underCursor` holds what it covers
  std::optional<ScreenRect> shownCursor;  // in the picture handed out last
  std::vector<std::uint8_t> underCursor;

  ~State() { close(); }

  void close() {
    // The stream's destruction frees every buffer, the held one included.
    held = nullptr;
    video.reset();
    if (bus) {
      // Stopped without waiting for the answer: a compositor that hangs must not hang the stop.
      // The session would end with the connection anyway; the call ends it at once.
      if (sessionStarted && !ended && !sessionPath.empty()) {
        (void)sd_bus_call_method_async(bus, nullptr, service, sessionPath.c_str(), sessionInterface, "Stop",
                                       nullptr, nullptr, "");
      }
      ownerSlot = sd_bus_slot_unref(ownerSlot);
      closedSlot = sd_bus_slot_unref(closedSlot);
      streamAddedSlot = sd_bus_slot_unref(streamAddedSlot);
      bus = sd_bus_flush_close_unref(bus);
    }
    if (epollFd >= 0) {
      ::close(epollFd);
      epollFd = -1;
    }
  }

  void end(std::string why) {
    if (!ended) {
      castLog().info("Screen cast ended: {}", why);
      ended = std::move(why);
    }
  }

  void throwIfEnded() const {
    if (ended) throw CompositorCaptureError::ended(endedText);
  }

  // --- the bus ---

  sd_bus_message* newCall(const char* path, const char* interface, const char* member) {
    sd_bus_message* m = nullptr;
    const int r = sd_bus_message_new_method_call(bus, &m, service, path, interface, member);
    if (r < 0) {
      throw CompositorCaptureError::failed(
          fmt::format("Cannot build a screen cast request: {}", std::strerror(-r)));
    }
    return m;
  }

  // Sends `m` (consumed) and returns the reply; a refusal throws `refused` when `refusal` is set,
  // `unavailable` otherwise.
  sd_bus_message* call(sd_bus_message* m, const char* what, bool refusal) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call(bus, m, 5'000'000, &error, &reply);
    sd_bus_message_unref(m);
    if (r < 0) {
      const auto text = fmt::format("{}: {}", what, BusCall::describe(r, error));
      sd_bus_error_free(&error);
      if (refusal && r != -ETIMEDOUT && r != -ECONNRESET && r != -ENOTCONN)
        throw CompositorCaptureError::refused(text);
      throw CompositorCaptureError::unavailable(text);
    }
    sd_bus_error_free(&error);
    return reply;
  }

  std::string readPath(sd_bus_message* reply, const char* what) {
    const char* path = nullptr;
    const int r = sd_bus_message_read(reply, "o", &path);
    std::string result = r >= 0 && path ? path : "";
    sd_bus_message_unref(reply);
    if (result.empty()) throw CompositorCaptureError::unavailable(fmt::format("{}: malformed answer", what));
    return result;
  }

  void check(int r, const char* what) {
    if (r < 0) throw CompositorCaptureError::unavailable(fmt::format("{}: {}", what, std::strerror(-r)));
  }

  static int onNameOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    if (BusCall::formerOwnerLeft(m)) static_cast<State*>(data)->end("the compositor left the session bus");
    return 0;
  }

  static int onClosed(sd_bus_message*, void* data, sd_bus_error*) {
    static_cast<State*>(data)->end("the compositor closed the screen cast session");
    return 0;
  }

  static int onStreamAdded(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* s = static_cast<State*>(data);
    std::uint32_t node = 0;
    if (sd_bus_message_read(m, "u", &node) >= 0) s->node = node;
    return 0;
  }

  // Handles what has arrived on the bus, without waiting.
  void pumpBus() {
    if (!bus) return;
    for (int i = 0; i < 256; ++i) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0) {
        end(fmt::format("the session bus connection failed: {}", std::strerror(-r)));
        return;
      }
      if (r == 0) break;
    }
    if (sd_bus_is_open(bus) <= 0) end("the session bus connection closed");
  }

  void startSession(const std::string& connector) {
    check(sd_bus_open_user(&bus), "The session bus cannot be reached");
    // The compositor leaving the bus (it crashed or was stopped) ends the cast; no Closed comes then.
    check(BusCall::watchNameOwner(bus, &ownerSlot, service, &State::onNameOwnerChanged, this),
          "Cannot watch the compositor on the session bus");
    auto* create =
        newCall(MutterScreenCastService::path, MutterScreenCastService::interface, "CreateSession");
    check(sd_bus_message_append(create, "a{sv}", 0), "Cannot build a screen cast request");
    sessionPath = readPath(call(create, "The compositor's screen cast service is not available", false),
                           "The compositor's screen cast service");
    check(sd_bus_match_signal(bus, &closedSlot, service, sessionPath.c_str(), sessionInterface, "Closed",
                              &State::onClosed, this),
          "Cannot watch the screen cast session");
    auto* record = newCall(sessionPath.c_str(), sessionInterface, "RecordMonitor");
    check(sd_bus_message_append(record, "sa{sv}", connector.c_str(), 1, "cursor-mode", "u",
                                showsCursor ? cursorAsMetadata : cursorHidden),
          "Cannot build a screen cast request");
    streamPath = readPath(call(record, "The compositor refused to record the monitor", true),
                          "The compositor's screen cast of the monitor");
    check(sd_bus_match_signal(bus, &streamAddedSlot, service, streamPath.c_str(), streamInterface,
                              "PipeWireStreamAdded", &State::onStreamAdded, this),
          "Cannot watch the screen cast stream");
    sd_bus_message_unref(call(newCall(sessionPath.c_str(), sessionInterface, "Start"),
                              "The compositor refused to start the screen cast", true));
    sessionStarted = true;
  }

  void waitForNode(std::chrono::steady_clock::time_point deadline) {
    while (!node) {
      pumpBus();
      throwIfEnded();
      if (node) break;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds(0)) {
        throw CompositorCaptureError::unavailable("The compositor started no screen cast stream in time.");
      }
      const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
      const int r = sd_bus_wait(bus, static_cast<std::uint64_t>(std::max<long long>(1, micros)));
      if (r < 0 && r != -EINTR) end(fmt::format("waiting on the session bus failed: {}", std::strerror(-r)));
    }
  }

  // --- the stream ---

  void streamEnded(std::string why) override { end(std::move(why)); }

  void sizeChanged(int w, int h) override {
    width = w;
    height = h;
    area.width = w;
    area.height = h;
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
    view = {pixels.data(), w * 4, w, h};
    // Buffers of the former size go away with the new format; they are not handed back.
    held = nullptr;
    pending = ScreenDamage(w, h);
    changedParts = ScreenDamage(w, h);
    pending.addWhole();
    drawnCursor.reset();
    shownCursor.reset();
    hasFrame = false;
  }

  void bufferRemoved(pw_buffer* b) override {
    if (b == held) {
      // The buffer is the stream's again already, and goes away: the picture moves out of it.
      copyHeldPicture();
      held = nullptr;
    }
  }

  void connectStream(std::uint32_t target) {
    video = std::make_unique<PipeWireScreenStream>(target, showsCursor, *this);
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) throw CompositorCaptureError::failed(fmt::format("epoll: {}", std::strerror(errno)));
    for (const int fd : {video->fd(), sd_bus_get_fd(bus)}) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      if (fd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) < 0) {
        throw CompositorCaptureError::failed(fmt::format("epoll: {}", std::strerror(errno)));
      }
    }
  }

  // Everything that has arrived on the bus and from PipeWire, without waiting; of the frames, only
  // the newest is compared.
  void pump() {
    pumpBus();
    if (!video) return;
    video->iterate();
    if (const auto frame = video->takeNewest()) {
      if (!readFrame(*frame)) video->giveBack(frame->buffer);
    }
  }

  void waitForFirstFrame(std::chrono::steady_clock::time_point deadline) {
    auto askAgain = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!hasFrame) {
      pump();
      throwIfEnded();
      if (hasFrame) break;
      const auto now = std::chrono::steady_clock::now();
      // The first frame may have been drawn before the stream had its buffers.
      if (now >= askAgain) {
        video->askForFrame();
        askAgain = now + std::chrono::seconds(1);
      }
      const auto left = deadline - now;
      if (left <= std::chrono::nanoseconds(0)) {
        throw CompositorCaptureError::unavailable("The compositor sent no picture of the screen in time.");
      }
      epoll_event events[4];
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
      (void)::epoll_wait(epollFd, events, 4, static_cast<int>(std::min<long long>(ms, 250)));
    }
  }

  // --- frames ---

  // Gives the buffer the picture was in back to the compositor, without what we drew into it.
  void releaseHeld() {
    if (!held) return;
    if (dirtyTop < dirtyBottom) {
      video->dropWrites(held, heldView.data + static_cast<std::ptrdiff_t>(dirtyTop) * heldView.stride,
                        heldView.data + static_cast<std::ptrdiff_t>(dirtyBottom) * heldView.stride);
    }
    dirtyTop = dirtyBottom = 0;
    video->giveBack(held);
    held = nullptr;
  }

  // Copies the picture out of the compositor's buffer into our own.
  void copyHeldPicture() {
    if (view.data == pixels.data()) return;
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    for (int row = 0; row < height; ++row) {
      std::memcpy(pixels.data() + rowBytes * static_cast<std::size_t>(row),
                  view.data + static_cast<std::ptrdiff_t>(row) * view.stride, rowBytes);
    }
    view = {pixels.data(), width * 4, width, height};
  }

  // Compares `frame` with the picture. Returns true when the picture is now the frame itself (its
  // buffer kept until the next frame), false when the buffer may go back.
  bool readFrame(const PipeWireScreenStream::Frame& frame) {
    ++framesReceived;
    // The picture must hold the screen alone for the compare: the cursor goes back in at capture.
    restoreUnderCursor();
    // The frame becomes the picture where it is, unless the cursor is to be drawn into it and the
    // buffer could not be mapped for that: then it is copied, where it changed, into our own.
    const bool inPlace = frame.writable || !showsCursor;
    auto* source = frame.pixels;
    const int stride = frame.stride;
    if (!modeLogged) {
      castLog().info("Screen cast frames are {}", inPlace ? "read in place" : "copied");
      modeLogged = true;
    }
    if (!inPlace && held) {
      copyHeldPicture();
      releaseHeld();
    }
    bool differs = true;
    if (!hasFrame) {
      // The first frame of a size is new everywhere.
      if (!inPlace) {
        for (int row = 0; row < height; ++row) {
          std::memcpy(view.data + static_cast<std::ptrdiff_t>(row) * view.stride,
                      source + static_cast<std::ptrdiff_t>(row) * stride,
                      static_cast<std::size_t>(width) * 4);
        }
      }
      pending.addWhole();
      hasFrame = true;
    } else if (inPlace) {
      differs = findChangedTiles(source, stride, view, pending);
    } else {
      differs = copyChangedTiles(source, stride, view, pending);
    }
    if (differs) {
      frameChanged = true;
      ++framesChanged;
    }
    if (!inPlace) return false;
    releaseHeld();
    held = frame.buffer;
    view = heldView = {source, stride, width, height};
    return true;
  }

  // The cursor's rectangle in the picture, when it is shown and lies over it.
  std::optional<ScreenRect> cursorRect() const {
    if (!showsCursor || !cursorVisible || cursor.width <= 0 || cursor.height <= 0) return std::nullopt;
    const auto common = intersection(
        {pointerX - cursor.hotX, pointerY - cursor.hotY, cursor.width, cursor.height}, {0, 0, width, height});
    if (common.width <= 0 || common.height <= 0) return std::nullopt;
    return common;
  }

  void cursorReported(PipeWireScreenStream::Cursor c) override {
    const bool moved = c.visible != cursorVisible || (c.visible && (c.x != pointerX || c.y != pointerY));
    if (!moved && !c.shape) return;
    // What the previous picture showed of the cursor is screen again, and the new place changes.
    if (shownCursor) pending.add(*shownCursor);
    restoreUnderCursor();
    cursorVisible = c.visible;
    if (c.visible) {
      pointerX = c.x;
      pointerY = c.y;
    }
    if (c.shape) cursor = std::move(*c.shape);
    if (const auto now = cursorRect()) pending.add(*now);
    cursorChanged = true;
  }

  void restoreUnderCursor() {
    if (!drawnCursor) return;
    const auto& r = *drawnCursor;
    const auto rowBytes = static_cast<std::size_t>(r.width) * 4;
    for (int row = 0; row < r.height; ++row) {
      std::memcpy(view.data + static_cast<std::ptrdiff_t>(r.y + row) * view.stride + r.x * 4,
                  underCursor.data() + static_cast<std::size_t>(row) * rowBytes, rowBytes);
    }
    drawnCursor.reset();
  }

  void drawCursorIn() {
    if (drawnCursor) {
      shownCursor = drawnCursor;
      return;
    }
    shownCursor = cursorRect();
    if (!shownCursor) return;
    const auto& r = *shownCursor;
    const auto rowBytes = static_cast<std::size_t>(r.width) * 4;
    underCursor.resize(rowBytes * static_cast<std::size_t>(r.height));
    for (int row = 0; row < r.height; ++row) {
      std::memcpy(underCursor.data() + static_cast<std::size_t>(row) * rowBytes,
                  view.data + static_cast<std::ptrdiff_t>(r.y + row) * view.stride + r.x * 4, rowBytes);
    }
    drawCursor(view, 0, 0, cursor, pointerX, pointerY);
    drawnCursor = shownCursor;
    if (held && view.data == heldView.data) {
      dirtyTop = dirtyTop < dirtyBottom ? std::min(dirtyTop, r.y) : r.y;
      dirtyBottom = std::max(dirtyBottom, r.y + r.height);
    }
  }

  BgraImageView takeWhole(const RowSink* sink) {
    throwIfEnded();
    drawCursorIn();
    changedParts.addWhole();
    pending.clear();
    if (sink) (*sink)(view, 0, height);
    return view;
  }

  BgraImageView takeChanges(const RowSink& wholeSink) {
    throwIfEnded();
    if (pending.isWhole()) return takeWhole(&wholeSink);
    drawCursorIn();
    changedParts = pending;
    pending.clear();
    return view;
  }
};

MutterScreenCast::MutterScreenCast(const Options& options) : state_(std::make_unique<State>()) {
  auto& s = *state_;
  s.showsCursor = options.showsCursor;
  const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
  const auto displays = mutterDisplays(readMutterDisplayState());
  if (displays.empty())
    throw CompositorCaptureError::unavailable("The compositor reports no monitor to capture.");
  const auto& primary = displays.front();
  s.area = primary.bounds;
  s.startSession(primary.connector);
  s.waitForNode(deadline);
  s.connectStream(*s.node);
  s.waitForFirstFrame(deadline);
  castLog().info("Screen cast of {} started: node {}, {}x{} at ({}, {})", primary.connector, *s.node, s.width,
                 s.height, s.area.x, s.area.y);
}

MutterScreenCast::~MutterScreenCast() = default;

ScreenRect MutterScreenCast::area() const noexcept { return state_->area; }
int MutterScreenCast::pollFd() const noexcept { return state_->epollFd; }

bool MutterScreenCast::collectChanges(bool) {
  auto& s = *state_;
  s.throwIfEnded();
  s.pump();
  s.throwIfEnded();
  const bool changed = s.frameChanged || s.cursorChanged;
  s.frameChanged = false;
  s.cursorChanged = false;
  return changed;
}

BgraImageView MutterScreenCast::capture() { return state_->takeWhole(nullptr); }
BgraImageView MutterScreenCast::capture(const RowSink& sink) { return state_->takeWhole(&sink); }
BgraImageView MutterScreenCast::captureChanges() {
  return state_->takeChanges([](const BgraImageView&, int, int) {});
}
BgraImageView MutterScreenCast::captureChanges(const RowSink& wholeSink) {
  return state_->takeChanges(wholeSink);
}
const ScreenDamage& MutterScreenCast::changed() const noexcept { return state_->changedParts; }

std::uint32_t MutterScreenCast::nodeId() const noexcept { return state_->node.value_or(0); }
std::uint64_t MutterScreenCast::framesReceived() const noexcept { return state_->framesReceived; }
std::uint64_t MutterScreenCast::framesChanged() const noexcept { return state_->framesChanged; }

}  // namespace vantrel

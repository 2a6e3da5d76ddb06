#include "Platform/GnomeWayland/MutterScreenCast.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "Platform/GnomeWayland/MutterScreenCastSession.hpp"
#include "Platform/GnomeWayland/PipeWireScreenStream.hpp"
#include "Platform/GnomeWayland/PrivateBufferMapping.hpp"
#include "Platform/Ports/CursorImage.hpp"
#include "Platform/Screen/FrameTileDiff.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

namespace {

const SystemLog& castLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "screen");
  return log;
}

using Frame = PipeWireScreenStream::Frame;

}  // namespace

struct MutterScreenCast::State {
  bool showsCursor = true;
  std::shared_ptr<MutterScreenCastSession> session;
  PipeWireScreenStream* stream = nullptr;
  // Written by the stream's thread on every frame; with the bus, what pollFd() reports.
  int wakeFd = -1;
  int epollFd = -1;

  // The picture: the latest frame, with the cursor drawn in at capture, in `pixels`: each frame is
  // copied in tile by tile where it changed, read through a private mapping of ours (under the
  // stream's lock when the buffer is no file), and its buffer goes back at once. A buffer a reader
  // kept would stay marked busy for the compositor, which drops the frame it meant to draw into
  // it: the other readers' pictures would freeze while this one looks away.
  ScreenRect area;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
  BgraImageView view;
  // Our mappings of the stream's buffers, each made once.
  struct Mapped {
    std::shared_ptr<PipeWireScreenStream::Buffer> buffer;
    std::unique_ptr<PrivateBufferMapping> mapping;
  };
  std::vector<Mapped> mappings;
  bool hasFrame = false;
  bool frameChanged = false;
  ScreenDamage pending;  // changed since the latest capture
  ScreenDamage changedParts;
  std::uint64_t seenFrame = 0;
  std::uint64_t framesReceived = 0;
  std::uint64_t framesChanged = 0;
  bool modeLogged = false;

  // The cursor as the compositor last described it, in stream pixels.
  CursorImage cursor;
  std::uint64_t seenCursor = 0;
  std::uint64_t seenShape = 0;
  bool cursorVisible = false;
  int pointerX = 0;
  int pointerY = 0;
  bool cursorChanged = false;
  std::optional<ScreenRect> drawnCursor;  // in the buffer now; `underCursor` holds what it covers
  std::optional<ScreenRect> shownCursor;  // in the picture handed out last
  std::vector<std::uint8_t> underCursor;

  ~State() { close(); }

  void close() {
    if (stream) stream->removeWaker(wakeFd);
    mappings.clear();
    stream = nullptr;
    session.reset();
    for (int* fd : {&epollFd, &wakeFd}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  void open(std::chrono::steady_clock::time_point deadline) {
    session = MutterScreenCastSession::acquire(showsCursor, deadline);
    stream = &session->stream();
    area = session->area();
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (wakeFd < 0 || epollFd < 0) {
      throw CompositorCaptureError::failed(fmt::format("eventfd: {}", std::strerror(errno)));
    }
    for (const int fd : {wakeFd, session->busFd()}) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      if (fd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) < 0) {
        throw CompositorCaptureError::failed(fmt::format("epoll: {}", std::strerror(errno)));
      }
    }
    stream->addWaker(wakeFd);
  }

  // Everything that has arrived, without waiting; of the frames, only the newest is compared.
  void pump() {
    session->pump();
    std::uint64_t count = 0;
    (void)!::read(wakeFd, &count, sizeof count);
    if (showsCursor) {
      if (const auto c = stream->cursor(); c.serial != seenCursor) cursorReported(c);
    }
    if (auto frame = stream->takeNewer(seenFrame)) {
      seenFrame = frame->serial;
      readFrame(std::move(*frame));
    }
  }

  void waitForFirstFrame(std::chrono::steady_clock::time_point deadline) {
    auto askAgain = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!hasFrame) {
      pump();
      if (hasFrame) break;
      const auto now = std::chrono::steady_clock::now();
      // The first frame may have been drawn before the stream had its buffers.
      if (now >= askAgain) {
        stream->askForFrame();
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

  void resize(int w, int h) {
    width = w;
    height = h;
    area.width = w;
    area.height = h;
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
    view = {pixels.data(), w * 4, w, h};
    pending = ScreenDamage(w, h);
    changedParts = ScreenDamage(w, h);
    pending.addWhole();
    drawnCursor.reset();
    shownCursor.reset();
    hasFrame = false;
  }

  // Our mapping of `buffer`, made on first use; null when it is no file or cannot be mapped.
  // Mappings of buffers the stream let go are dropped.
  PrivateBufferMapping* mappingOf(const std::shared_ptr<PipeWireScreenStream::Buffer>& buffer) {
    std::erase_if(mappings, [&](const Mapped& m) { return !m.buffer->live.load(std::memory_order_acquire); });
    for (const auto& m : mappings) {
      if (m.buffer == buffer) return m.mapping.get();
    }
    auto mapping = PrivateBufferMapping::of(buffer->fd, buffer->mapOffset, buffer->maxSize);
    if (!mapping) return nullptr;
    mappings.push_back({buffer, std::move(mapping)});
    return mappings.back().mapping.get();
  }

  // Compares `frame` with the picture and copies in what changed, then gives its buffer back.
  void readFrame(Frame frame) {
    ++framesReceived;
    if (frame.width != width || frame.height != height) resize(frame.width, frame.height);
    // The picture must hold the screen alone for the compare: the cursor goes back in at capture.
    restoreUnderCursor();
    auto* mapping = mappingOf(frame.buffer);
    if (!modeLogged) {
      castLog().info("Screen cast frames are {}", mapping ? "read through a mapping of ours" : "copied");
      modeLogged = true;
    }
    bool differs = true;
    const auto take = [&](const std::uint8_t* source) {
      if (hasFrame) {
        differs = copyChangedTiles(source, frame.stride, view, pending);
        return;
      }
      for (int row = 0; row < height; ++row) {
        std::memcpy(view.data + static_cast<std::ptrdiff_t>(row) * view.stride,
                    source + static_cast<std::ptrdiff_t>(row) * frame.stride,
                    static_cast<std::size_t>(width) * 4);
      }
      pending.addWhole();  // the first frame of a size is new everywhere
    };
    if (mapping) {
      take(mapping->data() + frame.offset);
    } else {
      stream->lock([&] {
        const std::uint8_t* data = frame.buffer->data;
        if (!data) {
          differs = false;  // gone meanwhile: a newer frame follows
          return;
        }
        take(data + frame.offset);
      });
    }
    stream->release(frame);
    if (!differs && !hasFrame) return;
    hasFrame = true;
    if (differs) {
      frameChanged = true;
      ++framesChanged;
    }
  }

  // The cursor's rectangle in the picture, when it is shown and lies over it.
  std::optional<ScreenRect> cursorRect() const {
    if (!showsCursor || !cursorVisible || cursor.width <= 0 || cursor.height <= 0) return std::nullopt;
    const auto common = intersection(
        {pointerX - cursor.hotX, pointerY - cursor.hotY, cursor.width, cursor.height}, {0, 0, width, height});
    if (common.width <= 0 || common.height <= 0) return std::nullopt;
    return common;
  }

  void cursorReported(const PipeWireScreenStream::Cursor& c) {
    seenCursor = c.serial;
    const bool reshaped = c.shapeSerial != seenShape;
    const bool moved = c.visible != cursorVisible || (c.visible && (c.x != pointerX || c.y != pointerY));
    if (!moved && !reshaped) return;
    // What the previous picture showed of the cursor is screen again, and the new place changes.
    if (shownCursor) pending.add(*shownCursor);
    restoreUnderCursor();
    cursorVisible = c.visible;
    if (c.visible) {
      pointerX = c.x;
      pointerY = c.y;
    }
    if (reshaped) {
      seenShape = c.shapeSerial;
      cursor = c.shape ? *c.shape : CursorImage{};
    }
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
  }

  BgraImageView takeWhole(const RowSink* sink) {
    session->pump();
    drawCursorIn();
    changedParts.addWhole();
    pending.clear();
    if (sink) (*sink)(view, 0, height);
    return view;
  }

  BgraImageView takeChanges(const RowSink& wholeSink) {
    session->pump();
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
  s.open(deadline);
  s.waitForFirstFrame(deadline);
  castLog().info("Screen cast of {} read: node {}, {}x{} at ({}, {})", s.session->connector(),
                 s.session->node(), s.width, s.height, s.area.x, s.area.y);
}

MutterScreenCast::~MutterScreenCast() = default;

ScreenRect MutterScreenCast::area() const noexcept { return state_->area; }
int MutterScreenCast::pollFd() const noexcept { return state_->epollFd; }

bool MutterScreenCast::collectChanges(bool) {
  auto& s = *state_;
  s.pump();
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

std::uint32_t MutterScreenCast::nodeId() const noexcept { return state_->session->node(); }
std::uint64_t MutterScreenCast::framesReceived() const noexcept { return state_->framesReceived; }
std::uint64_t MutterScreenCast::framesChanged() const noexcept { return state_->framesChanged; }

}  // namespace vantrel

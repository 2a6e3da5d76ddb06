#include "Platform/GnomeWayland/PipeWireScreenStream.hpp"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "Platform/GnomeWayland/PipeWireCursorMeta.hpp"
#include "Platform/Screen/FrameTileDiff.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

namespace {

// A monitor larger than this is not believed.
constexpr int maxSide = 16384;

const SystemLog& streamLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "screen");
  return log;
}

// The stream's parameters. The pod macros are C: their compound literals are a GNU extension in
// C++, accepted by g++ and clang alike.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const spa_pod* formatParam(spa_pod_builder* b) {
  const spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{maxSide, maxSide};
  const spa_fraction variable{0, 1}, rateDefault{60, 1}, rateMin{0, 1}, rateMax{1000, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rateDefault, &rateMin, &rateMax)));
}

// The compositor drops a frame when the consumer holds every buffer, and sends nothing more while
// the screen stays still: the newest frame and each reader's previous one stay ours, and the
// compositor keeps at least two to draw into with two readers.
const spa_pod* buffersParam(spa_pod_builder* b) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(6, 3, 16), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
}

const spa_pod* metaParam(spa_pod_builder* b, std::uint32_t type, int size) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                                                SPA_PARAM_META_type, SPA_POD_Id(type),
                                                                SPA_PARAM_META_size, SPA_POD_Int(size)));
}

const spa_pod* cursorMetaParam(spa_pod_builder* b) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(static_cast<int>(cursorMetaSize(64)), static_cast<int>(cursorMetaSize(1)),
                               static_cast<int>(cursorMetaSize(maxCursorSide)))));
}
#pragma GCC diagnostic pop

// Holds the stream's thread off while it lives.
struct ThreadLock {
  pw_thread_loop* thread;
  explicit ThreadLock(pw_thread_loop* t) : thread(t) { pw_thread_loop_lock(t); }
  ~ThreadLock() { pw_thread_loop_unlock(thread); }
};

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

PipeWireScreenStream::Buffer::~Buffer() {
  if (fd >= 0) ::close(fd);
}

struct PipeWireScreenStream::State {
  std::uint32_t target = 0;
  bool readsCursor = true;

  pw_thread_loop* thread = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  bool streamListening = false;
  bool coreListening = false;
  spa_source* reconnectEvent = nullptr;
  spa_source* askTimer = nullptr;  // armed after a reconnection until a frame arrives
  bool reconnecting = false;
  std::atomic<bool> frameArrived{false};  // since the latest reconnection

  // Everything below is shared by PipeWire's data thread (which takes the frames), the stream's
  // thread loop (which handles its events) and the readers: read and written under `mutex`.
  mutable std::mutex mutex;
  int width = 0;  // the agreed picture size; none before the format
  int height = 0;
  std::vector<std::shared_ptr<Buffer>> buffers;
  std::optional<Frame> latest;
  std::uint64_t frameSerial = 0;
  Cursor pointer;
  std::optional<std::string> why;
  std::vector<int> wakers;
  bool rejectionLogged = false;

  State(std::uint32_t node, bool cursor) : target(node), readsCursor(cursor) {}
  ~State() { close(); }

  void close() {
    // The thread ends first: then nothing runs the stream's events while it goes. The data thread
    // takes no frame once the stream is disconnected.
    if (thread) pw_thread_loop_stop(thread);
    if (stream) {
      if (streamListening) spa_hook_remove(&streamListener);
      pw_stream_disconnect(stream);
      pw_stream_destroy(stream);
      stream = nullptr;
    }
    // The stream's destruction frees every buffer; a reader still holding one keeps its copy of the
    // memory file, and must not reach the stream's mapping.
    std::lock_guard lock(mutex);
    latest.reset();
    for (auto& b : buffers) forget(*b);
    buffers.clear();
    if (core) {
      if (coreListening) spa_hook_remove(&coreListener);
      pw_core_disconnect(core);
      core = nullptr;
    }
    if (context) {
      pw_context_destroy(context);
      context = nullptr;
    }
    if (thread) {
      pw_thread_loop_destroy(thread);
      thread = nullptr;
    }
  }

  static void forget(Buffer& b) {
    b.live.store(false, std::memory_order_release);
    b.data = nullptr;
    b.buffer = nullptr;
  }

  void wake() {
    const std::uint64_t one = 1;
    for (const int fd : wakers) (void)!::write(fd, &one, sizeof one);
  }

  void end(std::string text) {
    std::lock_guard lock(mutex);
    if (why) return;
    why = std::move(text);
    wake();
  }

  static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    if (id != PW_ID_CORE) return;
    static_cast<State*>(data)->end(
        fmt::format("PipeWire failed: {} ({})", message ? message : "", std::strerror(-res)));
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      s->end(fmt::format("the stream failed: {}", error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && !s->reconnecting) {
      s->end("the stream was disconnected");
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* s = static_cast<State*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0 ||
        (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA) ||
        info.size.width == 0 || info.size.height == 0 || info.size.width > maxSide ||
        info.size.height > maxSide) {
      s->end("the compositor offers a picture format the agent cannot read");
      return;
    }
    {
      std::lock_guard lock(s->mutex);
      s->width = static_cast<int>(info.size.width);
      s->height = static_cast<int>(info.size.height);
    }
    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[3] = {buffersParam(&b), metaParam(&b, SPA_META_Header, sizeof(spa_meta_header)),
                                cursorMetaParam(&b)};
    pw_stream_update_params(s->stream, params, 3);
  }

  static void onAddBuffer(void* data, pw_buffer* b) {
    auto* s = static_cast<State*>(data);
    auto record = std::make_shared<Buffer>();
    record->buffer = b;
    if (b->buffer && b->buffer->n_datas >= 1) {
      const spa_data& d = b->buffer->datas[0];
      record->data = static_cast<const std::uint8_t*>(d.data);
      if (d.type == SPA_DATA_MemFd && d.fd >= 0 && d.maxsize > 0) {
        record->fd = ::fcntl(static_cast<int>(d.fd), F_DUPFD_CLOEXEC, 0);
        record->mapOffset = d.mapoffset;
        record->maxSize = d.maxsize;
      }
    }
    std::lock_guard lock(s->mutex);
    b->user_data = record.get();
    s->buffers.push_back(std::move(record));
  }

  static void onRemoveBuffer(void* data, pw_buffer* b) {
    auto* s = static_cast<State*>(data);
    std::lock_guard lock(s->mutex);
    if (s->latest && s->latest->buffer->buffer == b) s->latest.reset();
    std::erase_if(s->buffers, [&](const std::shared_ptr<Buffer>& r) {
      if (r->buffer != b) return false;
      forget(*r);
      return true;
    });
    b->user_data = nullptr;
  }

  static void onProcess(void* data) { static_cast<State*>(data)->process(); }

  // Hands `b` back unless it is the newest frame or a reader holds it.
  void giveBackIfFree(Buffer& b) {
    if (!b.buffer || b.holders > 0 || (latest && latest->buffer.get() == &b)) return;
    pw_stream_queue_buffer(stream, b.buffer);
  }

  // Runs on PipeWire's data thread, in the graph cycle that delivered the frame: every queued
  // buffer's cursor counts; of the frames only the newest is kept, the others go back at once.
  // A delivered buffer stays marked busy for the compositor until it is given back, and the
  // compositor drops the frame it meant to draw into a busy one; PipeWire returns buffers given
  // back one per cycle, right after this. Taken on another thread, delivered frames waited busy
  // for it: a wait of five frames (a loaded desktop) stopped the stream for good.
  void process() {
    std::lock_guard lock(mutex);
    int frames = 0;
    const auto cursorBefore = pointer.serial;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) {
      readCursor(b->buffer);
      Frame frame;
      if (!readFrame(b, frame)) {
        pw_stream_queue_buffer(stream, b);
        continue;
      }
      ++frames;
      frame.serial = ++frameSerial;
      auto former = std::exchange(latest, std::move(frame));
      if (former) giveBackIfFree(*former->buffer);
    }
    // The newest frame and those readers hold are ours. Should they ever be all buffers but one,
    // the compositor is left with at most one to draw into and, should this cycle find none given
    // back, none once it has drawn it: only a new connection gives them all back.
    const auto ours = std::count_if(buffers.begin(), buffers.end(), [&](const std::shared_ptr<Buffer>& b) {
      return b->holders > 0 || (latest && latest->buffer == b);
    });
    if (frames > 0 && buffers.size() > 1 && ours + 1 >= static_cast<std::ptrdiff_t>(buffers.size())) {
      streamLog().error("Screen cast stream reconnected: {} of its {} frames were waiting", ours,
                        buffers.size());
      pw_loop_signal_event(pw_thread_loop_get_loop(thread), reconnectEvent);
    }
    if (frames > 0) frameArrived.store(true, std::memory_order_relaxed);
    if (frames > 0 || pointer.serial != cursorBefore) wake();
  }

  bool hasEnded() const {
    std::lock_guard lock(mutex);
    return why.has_value();
  }

  static void onReconnect(void* data, std::uint64_t) {
    auto* s = static_cast<State*>(data);
    if (!s->stream || s->hasEnded()) return;
    s->reconnecting = true;
    pw_stream_disconnect(s->stream);
    s->reconnecting = false;
    if (const int r = s->connectStream(); r < 0) {
      s->end(fmt::format("the stream could not reconnect: {}", std::strerror(-r)));
    }
    // The compositor's first frame may come before the new buffers do: asked for again each second.
    s->frameArrived.store(false, std::memory_order_relaxed);
    s->armAskTimer(true);
  }

  void armAskTimer(bool on) {
    timespec second{1, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(thread), askTimer, on ? &second : nullptr,
                         on ? &second : nullptr, false);
  }

  static void onAskTimer(void* data, std::uint64_t) {
    auto* s = static_cast<State*>(data);
    if (s->frameArrived.load(std::memory_order_relaxed)) {
      s->armAskTimer(false);
      return;
    }
    if (!s->stream || s->hasEnded()) return;
    pw_stream_set_active(s->stream, false);
    pw_stream_set_active(s->stream, true);
  }

  bool reject(const char* text) {
    if (!rejectionLogged) streamLog().error("Screen cast frame rejected: {}", text);
    rejectionLogged = true;
    return false;
  }

  // Whether `b` holds a frame that fits its buffer; fills `frame` when it does. A buffer without
  // picture (the cursor alone) is no frame.
  bool readFrame(pw_buffer* b, Frame& frame) {
    const spa_buffer* sb = b->buffer;
    auto* record = static_cast<Buffer*>(b->user_data);
    if (!record || sb->n_datas < 1 || !sb->datas[0].chunk || sb->datas[0].chunk->size == 0) return false;
    if (width == 0) return reject("no format was agreed");
    const spa_data& d = sb->datas[0];
    if (!d.data) return reject("the frame is not mapped");
    if (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) return reject("the frame is marked corrupted");
    const std::int64_t stride = d.chunk->stride != 0 ? d.chunk->stride : static_cast<std::int64_t>(width) * 4;
    if (!frameFitsBuffer(width, height, stride, d.chunk->offset, d.chunk->size, d.maxsize)) {
      return reject("the frame is smaller than its size and stride say");
    }
    for (const auto& r : buffers) {
      if (r.get() == record) frame.buffer = r;
    }
    frame.offset = d.chunk->offset;
    frame.stride = static_cast<int>(stride);
    frame.width = width;
    frame.height = height;
    return frame.buffer != nullptr;
  }

  void readCursor(const spa_buffer* sb) {
    if (!readsCursor) return;
    const spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor);
    if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor)) return;
    const auto* c = static_cast<const spa_meta_cursor*>(meta->data);
    const bool visible = c->id != 0;
    const int x = clampPointerCoordinate(c->position.x);
    const int y = clampPointerCoordinate(c->position.y);
    std::optional<CursorImage> shape;
    if (visible && c->bitmap_offset >= sizeof(spa_meta_cursor) &&
        static_cast<std::uint64_t>(c->bitmap_offset) + sizeof(spa_meta_bitmap) <= meta->size) {
      shape = readCursorBitmap(static_cast<const std::uint8_t*>(meta->data), meta->size, *c);
    }
    if (visible == pointer.visible && (!visible || (x == pointer.x && y == pointer.y)) && !shape) return;
    pointer.visible = visible;
    if (visible) {
      pointer.x = x;
      pointer.y = y;
    }
    if (shape) {
      pointer.shape = std::make_shared<const CursorImage>(std::move(*shape));
      ++pointer.shapeSerial;
    }
    ++pointer.serial;
  }

  int connectStream() {
    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[1] = {formatParam(&b)};
    return pw_stream_connect(
        stream, PW_DIRECTION_INPUT, target,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_DONT_RECONNECT | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
  }

  void connect() {
    initPipeWire();
    thread = pw_thread_loop_new("vantrel-screen", nullptr);
    if (!thread) throw CompositorCaptureError::unavailable("Cannot create a PipeWire loop.");
    pw_loop* loop = pw_thread_loop_get_loop(thread);
    // Nothing of the screen cast needs the session bus through PipeWire (its user has its own).
    context = pw_context_new(loop, pw_properties_new("support.dbus", "false", nullptr), 0);
    if (!context) throw CompositorCaptureError::unavailable("Cannot create a PipeWire context.");
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
      throw CompositorCaptureError::unavailable(
          fmt::format("PipeWire cannot be reached: {}", std::strerror(errno)));
    }
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.error = &State::onCoreError;
      return events;
    }();
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    coreListening = true;
    stream = pw_stream_new(core, "VantrelMac screen",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream) throw CompositorCaptureError::unavailable("Cannot create a PipeWire stream.");
    static const pw_stream_events streamEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = &State::onStateChanged;
      events.param_changed = &State::onParamChanged;
      events.process = &State::onProcess;
      events.add_buffer = &State::onAddBuffer;
      events.remove_buffer = &State::onRemoveBuffer;
      return events;
    }();
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);
    streamListening = true;
    reconnectEvent = pw_loop_add_event(loop, &State::onReconnect, this);
    askTimer = pw_loop_add_timer(loop, &State::onAskTimer, this);
    if (const int r = connectStream(); r < 0) {
      throw CompositorCaptureError::unavailable(
          fmt::format("Cannot connect to the compositor's stream: {}", std::strerror(-r)));
    }
    if (pw_thread_loop_start(thread) < 0)
      throw CompositorCaptureError::unavailable("Cannot start PipeWire's loop.");
  }
};

PipeWireScreenStream::PipeWireScreenStream(std::uint32_t node, bool readsCursor)
    : state_(std::make_unique<State>(node, readsCursor)) {
  state_->connect();
}

PipeWireScreenStream::~PipeWireScreenStream() = default;

void PipeWireScreenStream::addWaker(int eventFd) {
  std::lock_guard lock(state_->mutex);
  state_->wakers.push_back(eventFd);
}

void PipeWireScreenStream::removeWaker(int eventFd) {
  std::lock_guard lock(state_->mutex);
  std::erase(state_->wakers, eventFd);
}

std::optional<PipeWireScreenStream::Frame> PipeWireScreenStream::takeNewer(std::uint64_t seen) {
  std::lock_guard lock(state_->mutex);
  auto& latest = state_->latest;
  if (!latest || latest->serial <= seen) return std::nullopt;
  ++latest->buffer->holders;
  return latest;
}

void PipeWireScreenStream::release(const Frame& frame) {
  std::lock_guard lock(state_->mutex);
  --frame.buffer->holders;
  if (state_->stream) state_->giveBackIfFree(*frame.buffer);
}

PipeWireScreenStream::Cursor PipeWireScreenStream::cursor() const {
  std::lock_guard lock(state_->mutex);
  return state_->pointer;
}

std::optional<std::string> PipeWireScreenStream::ended() const {
  std::lock_guard lock(state_->mutex);
  return state_->why;
}

// The compositor repaints the whole monitor when its stream starts streaming: a pause and a resume
// of ours get a fresh frame of a still screen.
void PipeWireScreenStream::askForFrame() {
  ThreadLock lock(state_->thread);
  if (!state_->stream) return;
  pw_stream_set_active(state_->stream, false);
  pw_stream_set_active(state_->stream, true);
}

void PipeWireScreenStream::lock(const std::function<void()>& read) {
  std::lock_guard lock(state_->mutex);
  read();
}

}  // namespace vantrel

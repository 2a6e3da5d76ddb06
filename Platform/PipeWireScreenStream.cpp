#include "Platform/PipeWireScreenStream.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "Platform/FrameTileDiff.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

namespace {

// The largest cursor bitmap the compositor sends (384 x 384); a Cursor meta whose size range does
// not reach it is dropped by the compositor without a word.
constexpr int maxCursorSide = 384;
constexpr std::size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<std::size_t>(side) * side * 4;
}
static_assert(cursorMetaSize(maxCursorSide) == 589872);

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
// the screen stays still: a few buffers more than two let the capture thread encode a picture
// while the next frames wait.
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

// A buffer's memory mapped again, privately and writable: the cursor is drawn into the picture
// while it stays in the compositor's buffer (PipeWire maps it read-only). A write copies the pages
// it touches for this process alone; dropping them (MADV_DONTNEED) makes them show the buffer
// again, so that the compositor's next frame in it is seen whole.
struct PrivateMapping {
  std::uint8_t* base = nullptr;
  std::size_t length = 0;
  std::uint64_t mapOffset = 0;  // of the buffer's data from `base`

  ~PrivateMapping() {
    if (base) ::munmap(base, length);
  }

  // Maps `d`'s memory; null when it is not a file the kernel can map.
  static std::unique_ptr<PrivateMapping> of(const spa_data& d) {
    if (d.type != SPA_DATA_MemFd || d.fd < 0 || d.maxsize == 0) return nullptr;
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = d.mapoffset / page * page;
    auto m = std::make_unique<PrivateMapping>();
    m->length = static_cast<std::size_t>(d.mapoffset - start + d.maxsize);
    void* p = ::mmap(nullptr, m->length, PROT_READ | PROT_WRITE, MAP_PRIVATE, static_cast<int>(d.fd),
                     static_cast<off_t>(start));
    if (p == MAP_FAILED) return nullptr;
    m->base = static_cast<std::uint8_t*>(p);
    m->mapOffset = d.mapoffset - start;
    return m;
  }

  std::uint8_t* data() const noexcept { return base + mapOffset; }

  // Drops what this process wrote between `from` and `to` (pointers into the mapping).
  void forget(const std::uint8_t* from, const std::uint8_t* to) const noexcept {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto first = std::max(reinterpret_cast<std::uintptr_t>(from), reinterpret_cast<std::uintptr_t>(base));
    auto last =
        std::min(reinterpret_cast<std::uintptr_t>(to), reinterpret_cast<std::uintptr_t>(base) + length);
    if (first >= last) return;
    first = first / page * page;
    last = std::min((last + page - 1) / page * page, reinterpret_cast<std::uintptr_t>(base) + length);
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }
};

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct PipeWireScreenStream::State {
  Listener& listener;
  bool drawsCursor = true;

  pw_loop* loop = nullptr;
  bool loopEntered = false;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  bool streamListening = false;
  bool coreListening = false;

  // The agreed picture size; none before the format.
  int width = 0;
  int height = 0;
  // The newest frame that arrived since the latest takeNewest(); only it is handed on.
  pw_buffer* fresh = nullptr;
  // Our mappings of the stream's buffers (each buffer's user_data points at its own). Owned here:
  // the stream's destruction does not report its buffers' removal once our listener is gone.
  std::vector<std::unique_ptr<PrivateMapping>> mappings;
  bool rejectionLogged = false;

  State(Listener& l, bool cursor) : listener(l), drawsCursor(cursor) {}
  ~State() { close(); }

  void close() {
    // The stream's destruction frees every buffer, held ones included; our mappings go after it.
    fresh = nullptr;
    if (stream) {
      if (streamListening) spa_hook_remove(&streamListener);
      pw_stream_disconnect(stream);
      pw_stream_destroy(stream);
      stream = nullptr;
    }
    if (core) {
      if (coreListening) spa_hook_remove(&coreListener);
      pw_core_disconnect(core);
      core = nullptr;
    }
    if (context) {
      pw_context_destroy(context);
      context = nullptr;
    }
    // No buffer is left to read them.
    mappings.clear();
    if (loop) {
      if (loopEntered) pw_loop_leave(loop);
      pw_loop_destroy(loop);
      loop = nullptr;
    }
  }

  static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* s = static_cast<State*>(data);
    if (id != PW_ID_CORE) return;
    s->listener.streamEnded(
        fmt::format("PipeWire failed: {} ({})", message ? message : "", std::strerror(-res)));
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      s->listener.streamEnded(fmt::format("the stream failed: {}", error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      s->listener.streamEnded("the stream was disconnected");
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
      s->listener.streamEnded("the compositor offers a picture format the agent cannot read");
      return;
    }
    s->resize(static_cast<int>(info.size.width), static_cast<int>(info.size.height));
    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[3] = {buffersParam(&b), metaParam(&b, SPA_META_Header, sizeof(spa_meta_header)),
                                cursorMetaParam(&b)};
    pw_stream_update_params(s->stream, params, 3);
  }

  static void onProcess(void* data) { static_cast<State*>(data)->process(); }

  void resize(int w, int h) {
    if (w == width && h == height) return;
    width = w;
    height = h;
    // Buffers of the former size go away with the new format; they are not handed back.
    fresh = nullptr;
    listener.sizeChanged(w, h);
  }

  void connect(std::uint32_t target) {
    initPipeWire();
    loop = pw_loop_new(nullptr);
    if (!loop) throw CompositorCaptureError::unavailable("Cannot create a PipeWire loop.");
    pw_loop_enter(loop);
    loopEntered = true;
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
    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[1] = {formatParam(&b)};
    const int r = pw_stream_connect(
        stream, PW_DIRECTION_INPUT, target,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_DONT_RECONNECT),
        params, 1);
    if (r < 0) {
      throw CompositorCaptureError::unavailable(
          fmt::format("Cannot connect to the compositor's stream: {}", std::strerror(-r)));
    }
  }

  void iterate() {
    if (!loop) return;
    for (int i = 0; i < 256 && pw_loop_iterate(loop, 0) > 0; ++i) {
    }
  }

  // Every queued buffer's cursor counts; of the frames only the newest is kept (for the compare
  // once the loop has handled everything that arrived), the others go back to the compositor at
  // once, so that it always has buffers to draw into.
  void process() {
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) {
      readCursor(b->buffer);
      const spa_buffer* sb = b->buffer;
      pw_buffer* done = b;
      if (sb->n_datas >= 1 && sb->datas[0].chunk && sb->datas[0].chunk->size > 0) {
        done = fresh;
        fresh = b;
      }
      if (done) pw_stream_queue_buffer(stream, done);
    }
  }

  static void onAddBuffer(void* data, pw_buffer* b) {
    auto* s = static_cast<State*>(data);
    if (!s->drawsCursor || !b->buffer || b->buffer->n_datas < 1) return;
    auto mapping = PrivateMapping::of(b->buffer->datas[0]);
    b->user_data = mapping.get();
    if (mapping) s->mappings.push_back(std::move(mapping));
  }

  static void onRemoveBuffer(void* data, pw_buffer* b) {
    auto* s = static_cast<State*>(data);
    if (b == s->fresh) s->fresh = nullptr;
    // The listener may still read the buffer through our mapping.
    s->listener.bufferRemoved(b);
    if (b->user_data) {
      std::erase_if(s->mappings, [&](const auto& m) { return m.get() == b->user_data; });
      b->user_data = nullptr;
    }
  }

  bool reject(const char* why) {
    if (!rejectionLogged) streamLog().error("Screen cast frame rejected: {}", why);
    rejectionLogged = true;
    return false;
  }

  // Whether the frame in `b` fits its buffer; fills `frame` when it does.
  bool readFrame(pw_buffer* b, Frame& frame) {
    const spa_buffer* sb = b->buffer;
    if (width == 0) return reject("no format was agreed");
    const spa_data& d = sb->datas[0];
    if (!d.data) return reject("the frame is not mapped");
    if (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) return reject("the frame is marked corrupted");
    const std::int64_t stride = d.chunk->stride != 0 ? d.chunk->stride : static_cast<std::int64_t>(width) * 4;
    if (!frameFitsBuffer(width, height, stride, d.chunk->offset, d.chunk->size, d.maxsize)) {
      return reject("the frame is smaller than its size and stride say");
    }
    const auto* mapping = static_cast<const PrivateMapping*>(b->user_data);
    frame.buffer = b;
    frame.pixels = (mapping ? mapping->data() : static_cast<std::uint8_t*>(d.data)) + d.chunk->offset;
    frame.stride = static_cast<int>(stride);
    frame.writable = mapping != nullptr;
    return true;
  }

  void readCursor(const spa_buffer* sb) {
    if (!drawsCursor) return;
    const spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor);
    if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor)) return;
    const auto* c = static_cast<const spa_meta_cursor*>(meta->data);
    Cursor cursor;
    cursor.visible = c->id != 0;
    cursor.x = c->position.x;
    cursor.y = c->position.y;
    if (cursor.visible && c->bitmap_offset >= sizeof(spa_meta_cursor) &&
        static_cast<std::uint64_t>(c->bitmap_offset) + sizeof(spa_meta_bitmap) <= meta->size) {
      cursor.shape = readBitmap(static_cast<const std::uint8_t*>(meta->data), meta->size, c);
    }
    listener.cursorReported(std::move(cursor));
  }

  static std::optional<CursorImage> readBitmap(const std::uint8_t* base, std::uint32_t metaSize,
                                               const spa_meta_cursor* c) {
    const auto* bitmap = reinterpret_cast<const spa_meta_bitmap*>(base + c->bitmap_offset);
    CursorImage image;
    const auto w = bitmap->size.width, h = bitmap->size.height;
    if (w == 0 || h == 0) return image;  // an invisible cursor: nothing to draw
    if (w > maxCursorSide || h > maxCursorSide || bitmap->stride < static_cast<std::int32_t>(w * 4)) {
      return std::nullopt;
    }
    const std::uint64_t start = static_cast<std::uint64_t>(c->bitmap_offset) + bitmap->offset;
    const std::uint64_t end = start + static_cast<std::uint64_t>(bitmap->stride) * (h - 1) + w * 4ULL;
    if (bitmap->offset < sizeof(spa_meta_bitmap) || end > metaSize) return std::nullopt;
    // Premultiplied, as the compositor reads it; into the 0xAARRGGBB words drawCursor takes.
    int r = 0, g = 1, b = 2, a = 3;
    switch (bitmap->format) {
      case SPA_VIDEO_FORMAT_RGBA: break;
      case SPA_VIDEO_FORMAT_BGRA: r = 2, b = 0; break;
      case SPA_VIDEO_FORMAT_ARGB: a = 0, r = 1, g = 2, b = 3; break;
      case SPA_VIDEO_FORMAT_ABGR: a = 0, b = 1, g = 2, r = 3; break;
      default: return std::nullopt;
    }
    image.width = static_cast<int>(w);
    image.height = static_cast<int>(h);
    image.hotX = c->hotspot.x;
    image.hotY = c->hotspot.y;
    image.argb.resize(static_cast<std::size_t>(w) * h);
    for (std::uint32_t y = 0; y < h; ++y) {
      const std::uint8_t* row = base + start + static_cast<std::uint64_t>(y) * bitmap->stride;
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint8_t* p = row + x * 4;
        image.argb[y * w + x] = (std::uint32_t{p[a]} << 24) | (std::uint32_t{p[r]} << 16) |
                                (std::uint32_t{p[g]} << 8) | std::uint32_t{p[b]};
      }
    }
    return image;
  }
};

PipeWireScreenStream::PipeWireScreenStream(std::uint32_t node, bool drawsCursor, Listener& listener)
    : state_(std::make_unique<State>(listener, drawsCursor)) {
  state_->connect(node);
}

PipeWireScreenStream::~PipeWireScreenStream() = default;

int PipeWireScreenStream::fd() const noexcept { return state_->loop ? pw_loop_get_fd(state_->loop) : -1; }

void PipeWireScreenStream::iterate() { state_->iterate(); }

// The compositor repaints the whole monitor when its stream starts streaming: a pause and a resume
// of ours get a fresh frame of a still screen, provided it has a free buffer to draw into. (A frame
// dropped because every buffer was taken is not recovered this way: the buffers go back to it one
// per frame it sends, so it has none for the repaint either.)
void PipeWireScreenStream::askForFrame() {
  auto& s = *state_;
  if (!s.stream) return;
  pw_stream_set_active(s.stream, false);
  s.iterate();
  pw_stream_set_active(s.stream, true);
  s.iterate();
}

std::optional<PipeWireScreenStream::Frame> PipeWireScreenStream::takeNewest() {
  auto& s = *state_;
  if (!s.fresh) return std::nullopt;
  pw_buffer* b = s.fresh;
  s.fresh = nullptr;
  Frame frame;
  if (s.readFrame(b, frame)) return frame;
  pw_stream_queue_buffer(s.stream, b);
  return std::nullopt;
}

void PipeWireScreenStream::dropWrites(pw_buffer* buffer, const std::uint8_t* from,
                                      const std::uint8_t* to) noexcept {
  if (const auto* mapping = static_cast<const PrivateMapping*>(buffer->user_data)) mapping->forget(from, to);
}

void PipeWireScreenStream::giveBack(pw_buffer* buffer) noexcept {
  pw_stream_queue_buffer(state_->stream, buffer);
}

}  // namespace vantrel

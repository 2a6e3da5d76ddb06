#include "Platform/MutterScreenCast.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FrameTileDiff.hpp"
#include "Platform/MutterBus.hpp"
#include "Platform/MutterDisplayConfig.hpp"
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

// The largest cursor bitmap the compositor sends (384 x 384); a Cursor meta whose size range does
// not reach it is dropped by the compositor without a word.
constexpr int maxCursorSide = 384;
constexpr std::size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<std::size_t>(side) * side * 4;
}
static_assert(cursorMetaSize(maxCursorSide) == 589872);

// A monitor larger than this is not believed.
constexpr int maxSide = 16384;

const SystemLog& castLog() {
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

struct MutterScreenCast::State {
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

  pw_loop* loop = nullptr;
  bool loopEntered = false;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  bool streamListening = false;
  bool coreListening = false;
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
  // The newest frame that arrived since the latest compare; only it is compared.
  pw_buffer* fresh = nullptr;
  // Our mappings of the stream's buffers (each buffer's user_data points at its own). Owned here:
  // the stream's destruction does not report its buffers' removal once our listener is gone.
  std::vector<std::unique_ptr<PrivateMapping>> mappings;
  bool hasFrame = false;
  bool frameChanged = false;
  ScreenDamage pending;  // changed since the latest capture
  ScreenDamage changedParts;
  std::uint64_t framesReceived = 0;
  std::uint64_t framesChanged = 0;
  bool rejectionLogged = false;
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
    // The stream's destruction frees every buffer, held ones included; our mappings go after it.
    held = nullptr;
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

  // --- PipeWire ---

  static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* s = static_cast<State*>(data);
    if (id != PW_ID_CORE) return;
    s->end(fmt::format("PipeWire failed: {} ({})", message ? message : "", std::strerror(-res)));
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      s->end(fmt::format("the stream failed: {}", error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
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
    if (w == width && h == height && !pixels.empty()) return;
    width = w;
    height = h;
    area.width = w;
    area.height = h;
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
    view = {pixels.data(), w * 4, w, h};
    // Buffers of the former size go away with the new format; they are not handed back.
    held = nullptr;
    fresh = nullptr;
    pending = ScreenDamage(w, h);
    changedParts = ScreenDamage(w, h);
    pending.addWhole();
    drawnCursor.reset();
    shownCursor.reset();
    hasFrame = false;
  }

  void connectStream(std::uint32_t target) {
    initPipeWire();
    loop = pw_loop_new(nullptr);
    if (!loop) throw CompositorCaptureError::unavailable("Cannot create a PipeWire loop.");
    pw_loop_enter(loop);
    loopEntered = true;
    // Nothing of the screen cast needs the session bus through PipeWire (the bus is ours).
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
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) throw CompositorCaptureError::failed(fmt::format("epoll: {}", std::strerror(errno)));
    for (const int fd : {pw_loop_get_fd(loop), sd_bus_get_fd(bus)}) {
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
    iterateLoop();
    if (fresh) {
      pw_buffer* b = fresh;
      fresh = nullptr;
      if (!readFrame(b)) pw_stream_queue_buffer(stream, b);
    }
  }

  void iterateLoop() {
    if (!loop) return;
    for (int i = 0; i < 256 && pw_loop_iterate(loop, 0) > 0; ++i) {
    }
  }

  // The compositor repaints the whole monitor when its stream starts streaming: a pause and a
  // resume of ours get a fresh frame of a still screen, provided it has a free buffer to draw
  // into. (A frame dropped because every buffer was taken is not recovered this way: the buffers
  // go back to it one per frame it sends, so it has none for the repaint either.)
  void askForFrame() {
    if (!stream || ended) return;
    pw_stream_set_active(stream, false);
    iterateLoop();
    pw_stream_set_active(stream, true);
    iterateLoop();
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
        askForFrame();
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
    if (!s->showsCursor || !b->buffer || b->buffer->n_datas < 1) return;
    auto mapping = PrivateMapping::of(b->buffer->datas[0]);
    b->user_data = mapping.get();
    if (mapping) s->mappings.push_back(std::move(mapping));
  }

  static void onRemoveBuffer(void* data, pw_buffer* b) {
    auto* s = static_cast<State*>(data);
    if (b == s->fresh) s->fresh = nullptr;
    if (b == s->held) {
      // The buffer is the stream's again already, and goes away: the picture moves out of it.
      s->copyHeldPicture();
      s->held = nullptr;
    }
    if (b->user_data) {
      std::erase_if(s->mappings, [&](const auto& m) { return m.get() == b->user_data; });
      b->user_data = nullptr;
    }
  }

  // Gives the buffer the picture was in back to the compositor, without what we drew into it.
  void releaseHeld() {
    if (!held) return;
    const auto* mapping = static_cast<const PrivateMapping*>(held->user_data);
    if (mapping && dirtyTop < dirtyBottom) {
      mapping->forget(heldView.data + static_cast<std::ptrdiff_t>(dirtyTop) * heldView.stride,
                      heldView.data + static_cast<std::ptrdiff_t>(dirtyBottom) * heldView.stride);
    }
    dirtyTop = dirtyBottom = 0;
    pw_stream_queue_buffer(stream, held);
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

  bool reject(const char* why) {
    if (!rejectionLogged) castLog().error("Screen cast frame rejected: {}", why);
    rejectionLogged = true;
    return false;
  }

  // Compares the frame in `b` with the picture. Returns true when the picture is now `b` itself
  // (kept until the next frame), false when the buffer may go back.
  bool readFrame(pw_buffer* b) {
    const spa_buffer* sb = b->buffer;
    if (pixels.empty()) return reject("no format was agreed");
    const spa_data& d = sb->datas[0];
    if (!d.data) return reject("the frame is not mapped");
    if (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) return reject("the frame is marked corrupted");
    const std::int64_t stride = d.chunk->stride != 0 ? d.chunk->stride : static_cast<std::int64_t>(width) * 4;
    if (!frameFitsBuffer(width, height, stride, d.chunk->offset, d.chunk->size, d.maxsize)) {
      return reject("the frame is smaller than its size and stride say");
    }
    ++framesReceived;
    // The picture must hold the screen alone for the compare: the cursor goes back in at capture.
    restoreUnderCursor();
    // The frame becomes the picture where it is, unless the cursor is to be drawn into it and the
    // buffer could not be mapped for that: then it is copied, where it changed, into our own.
    const auto* mapping = static_cast<const PrivateMapping*>(b->user_data);
    const bool inPlace = mapping || !showsCursor;
    auto* source = (mapping ? mapping->data() : static_cast<std::uint8_t*>(d.data)) + d.chunk->offset;
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
      differs = findChangedTiles(source, static_cast<int>(stride), view, pending);
    } else {
      differs = copyChangedTiles(source, static_cast<int>(stride), view, pending);
    }
    if (differs) {
      frameChanged = true;
      ++framesChanged;
    }
    if (!inPlace) return false;
    releaseHeld();
    held = b;
    view = heldView = {source, static_cast<int>(stride), width, height};
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

  void readCursor(const spa_buffer* sb) {
    if (!showsCursor) return;
    const spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor);
    if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor)) return;
    const auto* c = static_cast<const spa_meta_cursor*>(meta->data);
    const bool visible = c->id != 0;
    bool moved =
        visible != cursorVisible || (visible && (c->position.x != pointerX || c->position.y != pointerY));
    std::optional<CursorImage> shape;
    if (visible && c->bitmap_offset >= sizeof(spa_meta_cursor) &&
        static_cast<std::uint64_t>(c->bitmap_offset) + sizeof(spa_meta_bitmap) <= meta->size) {
      shape = readBitmap(static_cast<const std::uint8_t*>(meta->data), meta->size, c);
    }
    if (!moved && !shape) return;
    // What the previous picture showed of the cursor is screen again, and the new place changes.
    if (shownCursor) pending.add(*shownCursor);
    restoreUnderCursor();
    cursorVisible = visible;
    if (visible) {
      pointerX = c->position.x;
      pointerY = c->position.y;
    }
    if (shape) cursor = std::move(*shape);
    if (const auto now = cursorRect()) pending.add(*now);
    cursorChanged = true;
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

#include "Platform/MutterRemoteDesktop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "Platform/BusThread.hpp"
#include "Platform/DisplayCaptureSource.hpp"
#include "Platform/MutterBus.hpp"
#include "Platform/MutterDisplayConfig.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* remoteDesktopInterface = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";

// One bus call may take this long before sd-bus gives up on it.
constexpr std::uint64_t busCallTimeoutMicroseconds = 1'000'000;
// evdev KEY_LEFTSHIFT: pressed and released right after Start so that the compositor's loss of
// the first key of a session swallows it rather than a key of the manager's.
constexpr std::uint32_t leftShiftKey = 42;
// A clipboard owner names a handful of formats; a longer list is cut, an absurd name skipped.
constexpr std::size_t maximumMimeTypes = 64;
constexpr std::size_t maximumMimeTypeLength = 255;
// Writing our clipboard content to a reader: the bus thread waits this long at most.
constexpr auto transferLimit = std::chrono::milliseconds(1000);
// How long after a session's start its input devices take to be usable by the focused client.
constexpr auto deviceSettleTime = std::chrono::milliseconds(250);

const SystemLog& remoteLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "remote-desktop");
  return log;
}

bool connectionLost(int r) { return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN; }

// Writes all of `data` to a pipe before `deadline`; false when the reader went away or was too
// slow.
bool writeAll(int fd, const Bytes& data, std::chrono::steady_clock::time_point deadline) {
  std::size_t done = 0;
  while (done < data.size()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const auto n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the mime-types list of SelectionOwnerChanged: "as", or (as mutter 43 sends it) an "as"
// inside a struct.
std::optional<std::vector<std::string>> readMimeTypes(sd_bus_message* m) {
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, nullptr, &contents) < 0 || !contents) return std::nullopt;
  const std::string type(contents);
  if (type != "as" && type != "(as)") return std::nullopt;
  if (sd_bus_message_enter_container(m, 'v', contents) <= 0) return std::nullopt;
  const bool wrapped = type == "(as)";
  if (wrapped && sd_bus_message_enter_container(m, 'r', "as") <= 0) return std::nullopt;
  if (sd_bus_message_enter_container(m, 'a', "s") <= 0) return std::nullopt;
  std::vector<std::string> types;
  const char* name = nullptr;
  int r = 0;
  while ((r = sd_bus_message_read_basic(m, 's', &name)) > 0) {
    const std::string_view view(name);
    if (types.size() < maximumMimeTypes && !view.empty() && view.size() <= maximumMimeTypeLength) {
      types.emplace_back(view);
    }
  }
  if (r < 0 || sd_bus_message_exit_container(m) < 0) return std::nullopt;
  if (wrapped && sd_bus_message_exit_container(m) < 0) return std::nullopt;
  if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
  return types;
}

}  // namespace

struct MutterRemoteDesktop::Impl {
  using Clock = std::chrono::steady_clock;

  Impl() : busThread(remoteLog(), "VantrelMac remote desktop") {
    busThread.start(BusThread::Connection{
        [this] { return bus; },
        [this] { pump(); },
        [this] {
          stopSession();
          dropConnection();
        },
    });
  }

  // The bus thread ends the session and drops the connection before it stops.
  ~Impl() { busThread.stop(); }

  // ---- bus thread ----

  // Dispatches whatever the bus has delivered (signals queued during calls included).
  void pump() {
    while (bus) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0 || sd_bus_is_open(bus) <= 0) {
        remoteLog().notice("VantrelMac remote desktop: the session bus connection ended");
        dropConnection();
        return;
      }
      if (r == 0) return;
    }
  }

  bool ensureBus() {
    if (bus && sd_bus_is_open(bus) > 0) return true;
    dropConnection();
    sd_bus* opened = nullptr;
    if (const int r = sd_bus_open_user(&opened); r < 0) {
      reportStartFailure(fmt::format("no session bus ({})", std::strerror(-r)));
      return false;
    }
    sd_bus_set_method_call_timeout(opened, busCallTimeoutMicroseconds);
    bus = opened;
    // The compositor leaving the bus (a crash or a restart) ends its sessions without a Closed
    // signal.
    const int r =
        BusCall::watchNameOwner(bus, &ownerSlot, remoteDesktopName, &Impl::onNameOwnerChanged, this);
    if (r < 0) {
      reportStartFailure(fmt::format("the session bus refused a signal match ({})", std::strerror(-r)));
      dropConnection();
      return false;
    }
    return true;
  }

  void dropConnection() {
    forgetSession();
    ownerSlot = sd_bus_slot_unref(ownerSlot);
    if (bus) {
      sd_bus_close(bus);
      bus = sd_bus_unref(bus);
    }
  }

  void forgetSession() {
    for (auto*& slot : sessionSlots) slot = sd_bus_slot_unref(slot);
    sessionSlots.clear();
    sessionPath.clear();
    streamPath.clear();
    clipboardEnabled = false;
    live.store(false);
    std::lock_guard lock(mutex);
    selectionState.ownedBySession = false;
    selectionState.mimeTypes.clear();
  }

  // Ends our session in the compositor (best effort) and forgets it.
  void stopSession() {
    if (!sessionPath.empty() && bus && sd_bus_is_open(bus) > 0) {
      (void)sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface, "Stop",
                               nullptr, nullptr, "");
    }
    forgetSession();
  }

  void reportStartFailure(const std::string& why) {
    // One line per outage, not one per input event.
    if (!lastStartFailed)
      remoteLog().error("VantrelMac remote desktop: no session with the compositor: {}", why);
    lastStartFailed = true;
  }

  void loseSession(const char* call, int r, const sd_bus_error& error) {
    remoteLog().error("VantrelMac remote desktop: {} failed ({}); a new session is made at the next use",
                      call, BusCall::describe(r, error));
    if (connectionLost(r)) {
      dropConnection();
    } else {
      stopSession();
    }
  }

  bool startSession() {
    if (!sessionPath.empty()) return true;
    if (!ensureBus()) return false;
    BusCall create;
    int r = sd_bus_call_method(bus, remoteDesktopName, remoteDesktopPath, remoteDesktopInterface,
                               "CreateSession", &create.error, &create.reply, "");
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(create.reply, "o", &path);
    if (r < 0 || !path) {
      if (connectionLost(r)) dropConnection();
      reportStartFailure("CreateSession: " + BusCall::describe(r, create.error));
      return false;
    }
    const std::string session(path);
    std::string failure;
    if (!prepareSession(session, failure)) {
      (void)sd_bus_call_method(bus, remoteDesktopName, session.c_str(), remoteSessionInterface, "Stop",
                               nullptr, nullptr, "");
      forgetSession();
      reportStartFailure(failure);
      return false;
    }
    sessionPath = session;
    live.store(true);
    started.fetch_add(1);
    if (lastStartFailed || started.load() == 1) {
      remoteLog().info("VantrelMac remote desktop: session {} started with the compositor", sessionPath);
    }
    lastStartFailed = false;
    if (clipboardWanted.load()) enableClipboardNow();
    // The compositor adds the session's virtual devices after Start returns, and the first event
    // of each new device reaches the focused client only as part of its focus, not as an event.
    // So a Shift press and release and a pointer motion of nothing go first, and the session's
    // input waits until the devices had time to settle.
    if (!notify("NotifyKeyboardKeycode", "ub", leftShiftKey, 1) ||
        !notify("NotifyKeyboardKeycode", "ub", leftShiftKey, 0) ||
        !notify("NotifyPointerMotionRelative", "dd", 0.0, 0.0)) {
      return false;
    }
    inputFrom = Clock::now() + deviceSettleTime;
    return !sessionPath.empty();
  }

  // Links a screen cast of the primary monitor to the remote-desktop session, watches the session
  // and starts it.
  bool prepareSession(const std::string& session, std::string& failure) {
    char* id = nullptr;
    BusCall idCall;
    int r = sd_bus_get_property_string(bus, remoteDesktopName, session.c_str(), remoteSessionInterface,
                                       "SessionId", &idCall.error, &id);
    if (r < 0 || !id) {
      failure = "SessionId: " + BusCall::describe(r, idCall.error);
      return false;
    }
    const std::string sessionId(id);
    std::free(id);

    BusCall cast;
    r = sd_bus_call_method(bus, MutterScreenCastService::name, MutterScreenCastService::path,
                           MutterScreenCastService::interface, "CreateSession", &cast.error, &cast.reply,
                           "a{sv}", 1, "remote-desktop-session-id", "s", sessionId.c_str());
    const char* castPath = nullptr;
    if (r >= 0) r = sd_bus_message_read(cast.reply, "o", &castPath);
    if (r < 0 || !castPath) {
      failure = "ScreenCast.CreateSession: " + BusCall::describe(r, cast.error);
      return false;
    }

    // The primary monitor, first among the displays.
    std::vector<MutterDisplay> displays;
    try {
      displays = mutterDisplays(readMutterDisplayState(bus));
    } catch (const CompositorCaptureError& error) {
      failure = error.detail();
      return false;
    }
    if (displays.empty()) {
      failure = "the compositor names no monitor";
      return false;
    }
    const auto& monitor = displays.front();
    BusCall record;
    r = sd_bus_call_method(bus, MutterScreenCastService::name, castPath,
                           MutterScreenCastService::sessionInterface, "RecordMonitor", &record.error,
                           &record.reply, "sa{sv}", monitor.connector.c_str(), 0);
    const char* stream = nullptr;
    if (r >= 0) r = sd_bus_message_read(record.reply, "o", &stream);
    if (r < 0 || !stream) {
      failure = "RecordMonitor " + monitor.connector + ": " + BusCall::describe(r, record.error);
      return false;
    }
    streamPath = stream;
    StreamSize size{monitor.bounds.width, monitor.bounds.height};
    if (const auto parameters = mutterStreamSize(bus, streamPath.c_str())) {
      size = StreamSize{parameters->first, parameters->second};
    }
    {
      std::lock_guard lock(mutex);
      recordedSize = size;
    }

    static constexpr const char* watched[] = {"Closed", "SelectionOwnerChanged", "SelectionTransfer"};
    static constexpr sd_bus_message_handler_t handlers[] = {&Impl::onClosed, &Impl::onSelectionOwnerChanged,
                                                            &Impl::onSelectionTransfer};
    for (std::size_t i = 0; i < std::size(watched); ++i) {
      sd_bus_slot* slot = nullptr;
      r = sd_bus_match_signal(bus, &slot, nullptr, session.c_str(), remoteSessionInterface, watched[i],
                              handlers[i], this);
      if (r < 0) {
        failure = fmt::format("watching {}: {}", watched[i], std::strerror(-r));
        return false;
      }
      sessionSlots.push_back(slot);
    }

    BusCall start;
    r = sd_bus_call_method(bus, remoteDesktopName, session.c_str(), remoteSessionInterface, "Start",
                           &start.error, nullptr, "");
    if (r < 0) {
      failure = "Start: " + BusCall::describe(r, start.error);
      return false;
    }
    return true;
  }

  // An input event of the session, sent once its devices have settled.
  template <typename... Args>
  bool sessionCall(const char* member, const char* types, Args... args) {
    if (!startSession()) return false;
    // Waits at most once per session, and only for input that follows the start at once.
    if (const auto now = Clock::now(); now < inputFrom) std::this_thread::sleep_for(inputFrom - now);
    return notify(member, types, args...);
  }

  template <typename... Args>
  bool notify(const char* member, const char* types, Args... args) {
    BusCall call;
    const int r = sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface,
                                     member, &call.error, nullptr, types, args...);
    if (r < 0) {
      loseSession(member, r, call.error);
      return false;
    }
    return true;
  }

  bool keyboardKeycode(std::uint32_t key, bool pressed) {
    return sessionCall("NotifyKeyboardKeycode", "ub", key, static_cast<int>(pressed));
  }

  bool pointerMotion(double x, double y) {
    if (!startSession()) return false;
    std::optional<StreamSize> size;
    {
      std::lock_guard lock(mutex);
      size = recordedSize;
    }
    if (size && size->width > 0 && size->height > 0) {
      x = std::clamp(x, 0.0, static_cast<double>(size->width - 1));
      y = std::clamp(y, 0.0, static_cast<double>(size->height - 1));
    }
    const std::string stream = streamPath;
    return sessionCall("NotifyPointerMotionAbsolute", "sdd", stream.c_str(), x, y);
  }

  void enableClipboardNow() {
    if (clipboardEnabled || sessionPath.empty()) return;
    BusCall call;
    const int r = sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface,
                                     "EnableClipboard", &call.error, nullptr, "a{sv}", 0);
    if (r < 0) {
      remoteLog().error("VantrelMac remote desktop: EnableClipboard failed ({})",
                        BusCall::describe(r, call.error));
      return;
    }
    clipboardEnabled = true;
  }

  UniqueFd selectionRead(const std::string& mime) {
    if (!startSession()) return {};
    enableClipboardNow();
    BusCall call;
    int r = sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface,
                               "SelectionRead", &call.error, &call.reply, "s", mime.c_str());
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read_basic(call.reply, 'h', &fd);
    if (r < 0 || fd < 0) {
      remoteLog().notice("VantrelMac remote desktop: the clipboard could not be read as {} ({})", mime,
                         BusCall::describe(r, call.error));
      if (connectionLost(r)) dropConnection();
      return {};
    }
    // The descriptor belongs to the reply; ours outlives it.
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  }

  bool offerSelection(const std::vector<std::string>& types) {
    if (!startSession()) return false;
    enableClipboardNow();
    if (!clipboardEnabled) return false;
    BusCall call;
    sd_bus_message* request = nullptr;
    int r = sd_bus_message_new_method_call(bus, &request, remoteDesktopName, sessionPath.c_str(),
                                           remoteSessionInterface, "SetSelection");
    if (r >= 0) r = sd_bus_message_open_container(request, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_open_container(request, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append_basic(request, 's', "mime-types");
    if (r >= 0) r = sd_bus_message_open_container(request, 'v', "as");
    if (r >= 0) r = sd_bus_message_open_container(request, 'a', "s");
    for (const auto& type : types) {
      if (r >= 0) r = sd_bus_message_append_basic(request, 's', type.c_str());
    }
    for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(request);
    if (r >= 0) r = sd_bus_call(bus, request, 0, &call.error, nullptr);
    sd_bus_message_unref(request);
    if (r < 0) {
      remoteLog().error("VantrelMac remote desktop: SetSelection failed ({})",
                        BusCall::describe(r, call.error));
      if (connectionLost(r)) dropConnection();
      return false;
    }
    std::lock_guard lock(mutex);
    selectionState.ownedBySession = true;
    return true;
  }

  // A reader wants our clipboard content in `mime`.
  void answerTransfer(const std::string& mime, std::uint32_t serial) {
    if (!bus || sessionPath.empty()) return;
    std::optional<Bytes> data;
    {
      std::lock_guard lock(mutex);
      for (const auto& [type, bytes] : offered) {
        if (type == mime) data = bytes;
      }
    }
    bool written = false;
    if (data) {
      BusCall call;
      int r = sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface,
                                 "SelectionWrite", &call.error, &call.reply, "u", serial);
      int fd = -1;
      if (r >= 0) r = sd_bus_message_read_basic(call.reply, 'h', &fd);
      if (r >= 0 && fd >= 0) {
        UniqueFd out(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
        if (out) {
          ::fcntl(out.get(), F_SETFL, ::fcntl(out.get(), F_GETFL) | O_NONBLOCK);
          written = writeAll(out.get(), *data, Clock::now() + transferLimit);
        }
      } else {
        remoteLog().notice("VantrelMac remote desktop: SelectionWrite failed ({})",
                           BusCall::describe(r, call.error));
      }
    }
    (void)sd_bus_call_method(bus, remoteDesktopName, sessionPath.c_str(), remoteSessionInterface,
                             "SelectionWriteDone", nullptr, nullptr, "ub", serial, static_cast<int>(written));
  }

  // ---- signal handlers (bus thread, inside sd_bus_process: they only record or defer) ----

  static int onNameOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    if (!BusCall::formerOwnerLeft(m) || self->sessionPath.empty()) return 0;
    self->busThread.defer([self] {
      if (self->sessionPath.empty()) return;
      remoteLog().notice(
          "VantrelMac remote desktop: the compositor left the session bus; a new session is made at "
          "the next use");
      self->forgetSession();
    });
    return 0;
  }

  static int onClosed(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    const std::string path = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
    self->busThread.defer([self, path] {
      if (path != self->sessionPath) return;
      remoteLog().notice("VantrelMac remote desktop: the compositor closed session {}", path);
      self->forgetSession();
    });
    return 0;
  }

  static int onSelectionOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return 0;
    std::optional<std::vector<std::string>> types;
    std::optional<bool> sessionIsOwner;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      if (sd_bus_message_read_basic(m, 's', &key) < 0 || !key) return 0;
      const std::string_view name(key);
      if (name == "mime-types") {
        types = readMimeTypes(m);
        if (!types) return 0;
      } else if (name == "session-is-owner") {
        int owner = 0;
        if (sd_bus_message_read(m, "v", "b", &owner) < 0) return 0;
        sessionIsOwner = owner != 0;
      } else if (sd_bus_message_skip(m, "v") < 0) {
        return 0;
      }
      if (sd_bus_message_exit_container(m) < 0) return 0;
    }
    std::lock_guard lock(self->mutex);
    if (sessionIsOwner.value_or(false)) {
      self->selectionState.ownedBySession = true;
      return 0;
    }
    ++self->selectionState.generation;
    self->selectionState.ownedBySession = false;
    self->selectionState.mimeTypes = types.value_or(std::vector<std::string>{});
    return 0;
  }

  static int onSelectionTransfer(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    const char* mime = nullptr;
    std::uint32_t serial = 0;
    if (sd_bus_message_read(m, "su", &mime, &serial) < 0 || !mime) return 0;
    self->busThread.defer([self, type = std::string(mime), serial] { self->answerTransfer(type, serial); });
    return 0;
  }

  // Shared state (mutex).
  mutable std::mutex mutex;
  Selection selectionState;
  std::vector<std::pair<std::string, Bytes>> offered;
  std::optional<StreamSize> recordedSize;
  Clock::time_point lastBackgroundStart{};
  std::atomic<bool> live{false};
  std::atomic<bool> clipboardWanted{false};
  std::atomic<std::uint64_t> started{0};

  // Bus thread only.
  sd_bus* bus = nullptr;
  sd_bus_slot* ownerSlot = nullptr;
  std::vector<sd_bus_slot*> sessionSlots;
  std::string sessionPath;
  std::string streamPath;
  bool clipboardEnabled = false;
  Clock::time_point inputFrom{};
  bool lastStartFailed = false;

  // Last, so that it starts after the state above is made and stops before that state goes.
  BusThread busThread;
};

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::shared() {
  // Never destroyed: a bus thread joined during static destruction could meet a logger already
  // gone. The compositor stops the session when the process's connection closes.
  static auto* const instance =
      new std::shared_ptr<MutterRemoteDesktop>(std::make_shared<MutterRemoteDesktop>());
  return *instance;
}

MutterRemoteDesktop::MutterRemoteDesktop() : impl_(std::make_shared<Impl>()) {}

MutterRemoteDesktop::~MutterRemoteDesktop() = default;

bool MutterRemoteDesktop::serviceOnBus() {
  return impl_->busThread
      .run<bool>(
          [impl = impl_.get()] {
            if (!impl->ensureBus()) return false;
            return BusCall::nameHasOwner(impl->bus, remoteDesktopName);
          },
          callLimit)
      .value_or(false);
}

bool MutterRemoteDesktop::ensureStarted() {
  return impl_->busThread.run<bool>([impl = impl_.get()] { return impl->startSession(); }, startLimit)
      .value_or(false);
}

void MutterRemoteDesktop::startInBackground() {
  if (impl_->live.load()) return;
  const auto now = Impl::Clock::now();
  {
    std::lock_guard lock(impl_->mutex);
    if (now - impl_->lastBackgroundStart < std::chrono::seconds(1)) return;
    impl_->lastBackgroundStart = now;
  }
  (void)impl_->busThread.enqueue([impl = impl_.get()] { (void)impl->startSession(); }, now + startLimit);
}

std::uint64_t MutterRemoteDesktop::sessionsStarted() const { return impl_->started.load(); }

bool MutterRemoteDesktop::pointerMotionAbsolute(double x, double y) {
  return impl_->busThread
      .run<bool>([impl = impl_.get(), x, y] { return impl->pointerMotion(x, y); }, callLimit)
      .value_or(false);
}

bool MutterRemoteDesktop::pointerButton(std::int32_t evdevButton, bool pressed) {
  return impl_->busThread
      .run<bool>(
          [impl = impl_.get(), evdevButton, pressed] {
            return impl->sessionCall("NotifyPointerButton", "ib", evdevButton, static_cast<int>(pressed));
          },
          callLimit)
      .value_or(false);
}

bool MutterRemoteDesktop::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  return impl_->busThread
      .run<bool>([impl = impl_.get(), axis,
                  steps] { return impl->sessionCall("NotifyPointerAxisDiscrete", "ui", axis, steps); },
                 callLimit)
      .value_or(false);
}

bool MutterRemoteDesktop::keyboardKeycode(std::uint32_t evdevKey, bool pressed) {
  return impl_->busThread
      .run<bool>([impl = impl_.get(), evdevKey, pressed] { return impl->keyboardKeycode(evdevKey, pressed); },
                 callLimit)
      .value_or(false);
}

std::optional<MutterRemoteDesktop::StreamSize> MutterRemoteDesktop::streamSize() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recordedSize;
}

void MutterRemoteDesktop::enableClipboard() {
  if (impl_->clipboardWanted.exchange(true)) return;
  (void)impl_->busThread.enqueue([impl = impl_.get()] { impl->enableClipboardNow(); },
                                 Impl::Clock::now() + startLimit);
}

MutterRemoteDesktop::Selection MutterRemoteDesktop::selection() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->selectionState;
}

UniqueFd MutterRemoteDesktop::openSelectionRead(const std::string& mime) {
  enableClipboard();
  auto fd = impl_->busThread.run<int>(
      [impl = impl_.get(), mime] { return impl->selectionRead(mime).release(); }, callLimit);
  return UniqueFd(fd.value_or(-1));
}

bool MutterRemoteDesktop::setSelection(std::vector<std::pair<std::string, Bytes>> content) {
  enableClipboard();
  std::vector<std::string> types;
  types.reserve(content.size());
  for (const auto& [type, bytes] : content) types.push_back(type);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->offered = std::move(content);
  }
  return impl_->busThread
      .run<bool>([impl = impl_.get(), types] { return impl->offerSelection(types); }, callLimit)
      .value_or(false);
}

namespace MutterServices {
namespace {

bool serviceAnswers(const char* name, const char* path, const char* interface) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  sd_bus_set_method_call_timeout(bus, 500'000);
  BusCall call;
  const int r = sd_bus_call_method(bus, name, path, "org.freedesktop.DBus.Properties", "Get", &call.error,
                                   &call.reply, "ss", interface, "Version");
  sd_bus_flush_close_unref(bus);
  return r >= 0;
}

}  // namespace

bool screenCastAnswers() {
  return serviceAnswers(MutterScreenCastService::name, MutterScreenCastService::path,
                        MutterScreenCastService::interface);
}

bool remoteDesktopAnswers() {
  return serviceAnswers(remoteDesktopName, remoteDesktopPath, remoteDesktopInterface);
}

}  // namespace MutterServices
}  // namespace vantrel

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Platform/GnomeWayland/BusThread.hpp"
#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"
#include "Platform/GnomeWayland/MutterSessionInput.hpp"
#include "Platform/Ports/DesktopSessionDemand.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

// One bus call may take this long before sd-bus gives up on it.
constexpr std::uint64_t busCallTimeoutMicroseconds = 1'000'000;
// evdev KEY_LEFTSHIFT: pressed and released right after Start so that the compositor's loss of
// the first key of a session swallows it rather than a key of the manager's.
constexpr std::uint32_t leftShiftKey = 42;
// How long after a session's start its input devices take to be usable by the focused client.
constexpr auto deviceSettleTime = std::chrono::milliseconds(250);

const SystemLog& remoteLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "remote-desktop");
  return log;
}

bool connectionLost(int r) { return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN; }

}  // namespace

struct MutterRemoteDesktop::Impl final : MutterSessionInput::Session, MutterSessionClipboard::Session {
  using Clock = std::chrono::steady_clock;

  Impl() : busThread(remoteLog(), "VantrelMac remote desktop") {
    busThread.start(BusThread::Connection{
        [this] { return connection; },
        [this] { pump(); },
        [this] {
          input.dropAll("the remote desktop stops");
          stopSession();
          dropConnection();
        },
    });
  }

  // The bus thread ends the session and drops the connection before it stops; the clipboard's
  // writers end after it.
  ~Impl() override {
    busThread.stop();
    clipboard.reset();
  }

  // ---- MutterSessionInput::Session and MutterSessionClipboard::Session (bus thread) ----
  sd_bus* bus() override { return connection; }
  const std::string& sessionPath() const override { return path; }
  const std::string& streamPath() const override { return stream; }
  Clock::time_point inputFrom() const override { return devicesReady; }
  std::optional<std::pair<int, int>> monitorSize() const override {
    std::lock_guard lock(mutex);
    if (!recordedSize) return std::nullopt;
    return std::pair{recordedSize->width, recordedSize->height};
  }
  void loseSession(const std::string& why) override {
    remoteLog().error("VantrelMac remote desktop: {}; a new session is made at the next use", why);
    stopSession();
  }
  void wakeAt(Clock::time_point when) override { busThread.wakeAt(when); }
  void defer(std::function<void()> work) override { busThread.defer(std::move(work)); }
  void post(std::function<void()> work) override {
    (void)busThread.enqueue(std::move(work), Clock::now() + std::chrono::hours(1));
  }
  void callFailed(int r) override {
    if (connectionLost(r)) dropConnection();
  }

  // ---- bus thread ----

  // Dispatches whatever the bus has delivered (signals queued during calls included), then sends
  // the input that may go now.
  void pump() {
    while (connection) {
      const int r = sd_bus_process(connection, nullptr);
      if (r < 0 || sd_bus_is_open(connection) <= 0) {
        remoteLog().notice("VantrelMac remote desktop: the session bus connection ended");
        dropConnection();
        break;
      }
      if (r == 0) break;
    }
    input.advance();
  }

  bool ensureBus() {
    if (connection && sd_bus_is_open(connection) > 0) return true;
    dropConnection();
    int opened = 0;
    connection = BusCall::openUserBus(busCallTimeoutMicroseconds, &opened);
    if (!connection) {
      reportStartFailure(fmt::format("no session bus ({})", std::strerror(-opened)));
      return false;
    }
    // The compositor leaving the bus (a crash or a restart) ends its sessions without a Closed
    // signal.
    const int r = BusCall::watchNameOwner(connection, &ownerSlot, MutterRemoteDesktopService::name,
                                          &Impl::onNameOwnerChanged, this);
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
    if (connection) {
      sd_bus_close(connection);
      connection = sd_bus_unref(connection);
    }
  }

  void forgetSession() {
    for (auto*& slot : sessionSlots) slot = sd_bus_slot_unref(slot);
    sessionSlots.clear();
    path.clear();
    stream.clear();
    live.store(false);
    input.sessionEnded();
    if (clipboard) clipboard->sessionEnded();
  }

  // Ends our session in the compositor (best effort) and forgets it.
  void stopSession() {
    if (!path.empty() && connection && sd_bus_is_open(connection) > 0) {
      (void)sd_bus_call_method(connection, MutterRemoteDesktopService::name, path.c_str(),
                               MutterRemoteDesktopService::sessionInterface, "Stop", nullptr, nullptr, "");
    }
    forgetSession();
  }

  void reportStartFailure(const std::string& why) {
    // One line per outage, not one per input event.
    if (!lastStartFailed)
      remoteLog().error("VantrelMac remote desktop: no session with the compositor: {}", why);
    lastStartFailed = true;
  }

  bool startSession() override {
    if (!path.empty()) return true;
    if (!ensureBus()) return false;
    BusCall create;
    int r = sd_bus_call_method(connection, MutterRemoteDesktopService::name, MutterRemoteDesktopService::path,
                               MutterRemoteDesktopService::interface, "CreateSession", &create.error,
                               &create.reply, "");
    const char* created = nullptr;
    if (r >= 0) r = sd_bus_message_read(create.reply, "o", &created);
    if (r < 0 || !created) {
      if (connectionLost(r)) dropConnection();
      reportStartFailure("CreateSession: " + BusCall::describe(r, create.error));
      return false;
    }
    const std::string session(created);
    std::string failure;
    if (!prepareSession(session, failure)) {
      (void)sd_bus_call_method(connection, MutterRemoteDesktopService::name, session.c_str(),
                               MutterRemoteDesktopService::sessionInterface, "Stop", nullptr, nullptr, "");
      forgetSession();
      reportStartFailure(failure);
      return false;
    }
    path = session;
    live.store(true);
    started.fetch_add(1);
    if (lastStartFailed || started.load() == 1) {
      remoteLog().info("VantrelMac remote desktop: session {} started with the compositor", path);
    }
    lastStartFailed = false;
    if (clipboardWanted.load() && clipboard) clipboard->enable();
    // The compositor adds the session's virtual devices after Start returns, and the first event
    // of each new device reaches the focused client only as part of its focus, not as an event.
    // So a Shift press and release and a pointer motion of nothing go first, and the session's
    // input waits (the bus loop serving everything else) until the devices had time to settle.
    if (!prime("NotifyKeyboardKeycode", "ub", leftShiftKey, 1) ||
        !prime("NotifyKeyboardKeycode", "ub", leftShiftKey, 0) ||
        !prime("NotifyPointerMotionRelative", "dd", 0.0, 0.0)) {
      return false;
    }
    devicesReady = Clock::now() + deviceSettleTime;
    return !path.empty();
  }

  template <typename... Args>
  bool prime(const char* member, const char* types, Args... args) {
    BusCall call;
    const int r = sd_bus_call_method(connection, MutterRemoteDesktopService::name, path.c_str(),
                                     MutterRemoteDesktopService::sessionInterface, member, &call.error,
                                     nullptr, types, args...);
    if (r < 0) {
      loseSession(fmt::format("{} failed ({})", member, BusCall::describe(r, call.error)));
      if (connectionLost(r)) dropConnection();
      return false;
    }
    return true;
  }

  // Links a screen cast of the primary monitor to the remote-desktop session, watches the session
  // and starts it.
  bool prepareSession(const std::string& session, std::string& failure) {
    char* id = nullptr;
    BusCall idCall;
    int r = sd_bus_get_property_string(connection, MutterRemoteDesktopService::name, session.c_str(),
                                       MutterRemoteDesktopService::sessionInterface, "SessionId",
                                       &idCall.error, &id);
    if (r < 0 || !id) {
      failure = "SessionId: " + BusCall::describe(r, idCall.error);
      return false;
    }
    const std::string sessionId(id);
    std::free(id);

    BusCall cast;
    r = sd_bus_call_method(connection, MutterScreenCastService::name, MutterScreenCastService::path,
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
      displays = mutterDisplays(readMutterDisplayState(connection));
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
    r = sd_bus_call_method(connection, MutterScreenCastService::name, castPath,
                           MutterScreenCastService::sessionInterface, "RecordMonitor", &record.error,
                           &record.reply, "sa{sv}", monitor.connector.c_str(), 0);
    const char* recorded = nullptr;
    if (r >= 0) r = sd_bus_message_read(record.reply, "o", &recorded);
    if (r < 0 || !recorded) {
      failure = "RecordMonitor " + monitor.connector + ": " + BusCall::describe(r, record.error);
      return false;
    }
    stream = recorded;
    StreamSize size{monitor.bounds.width, monitor.bounds.height};
    if (const auto parameters = mutterStreamSize(connection, stream.c_str())) {
      size = StreamSize{parameters->first, parameters->second};
    }
    {
      std::lock_guard lock(mutex);
      recordedSize = size;
    }

    // Only the compositor speaks for the session: signals from any other peer are not ours.
    struct Watch {
      const char* member;
      sd_bus_message_handler_t handler;
      void* data;
    };
    const Watch watches[] = {
        {"Closed", &Impl::onClosed, this},
        {"SelectionOwnerChanged", &MutterSessionClipboard::onOwnerChanged, clipboard.get()},
        {"SelectionTransfer", &MutterSessionClipboard::onTransfer, clipboard.get()}};
    for (const auto& watch : watches) {
      sd_bus_slot* slot = nullptr;
      r = sd_bus_match_signal(connection, &slot, MutterRemoteDesktopService::name, session.c_str(),
                              MutterRemoteDesktopService::sessionInterface, watch.member, watch.handler,
                              watch.data);
      if (r < 0) {
        failure = fmt::format("watching {}: {}", watch.member, std::strerror(-r));
        return false;
      }
      sessionSlots.push_back(slot);
    }

    BusCall start;
    r = sd_bus_call_method(connection, MutterRemoteDesktopService::name, session.c_str(),
                           MutterRemoteDesktopService::sessionInterface, "Start", &start.error, nullptr, "");
    if (r < 0) {
      failure = "Start: " + BusCall::describe(r, start.error);
      return false;
    }
    return true;
  }

  // ---- signal handlers (bus thread, inside sd_bus_process: they only record or defer) ----

  static int onNameOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    if (!BusCall::formerOwnerLeft(m) || self->path.empty()) return 0;
    self->busThread.defer([self] {
      if (self->path.empty()) return;
      remoteLog().notice(
          "VantrelMac remote desktop: the compositor left the session bus; a new session is made at "
          "the next use");
      self->forgetSession();
    });
    return 0;
  }

  static int onClosed(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    const std::string closed = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
    self->busThread.defer([self, closed] {
      if (closed != self->path) return;
      remoteLog().notice("VantrelMac remote desktop: the compositor closed session {}", closed);
      self->forgetSession();
    });
    return 0;
  }

  bool postInput(MutterSessionInput::Event event) {
    if (!input.push(std::move(event))) return false;
    busThread.wake();
    return true;
  }

  // Shared (mutex).
  mutable std::mutex mutex;
  std::optional<StreamSize> recordedSize;
  Clock::time_point lastBackgroundStart{};
  std::atomic<bool> live{false};
  std::atomic<bool> clipboardWanted{false};
  std::atomic<std::uint64_t> started{0};

  // Bus thread only.
  sd_bus* connection = nullptr;
  sd_bus_slot* ownerSlot = nullptr;
  std::vector<sd_bus_slot*> sessionSlots;
  std::string path;
  std::string stream;
  Clock::time_point devicesReady{};
  bool lastStartFailed = false;

  std::unique_ptr<MutterSessionClipboard> clipboard = std::make_unique<MutterSessionClipboard>(*this);
  MutterSessionInput input{*this};
  // Last, so that it starts after the state above is made and stops before that state goes.
  BusThread busThread;
};

namespace {
std::atomic<bool> sharedMade{false};
}  // namespace
std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::shared() {
  // Never destroyed: a bus thread joined during static destruction could meet a logger already
  // gone. closeShared() ends the session at quit.
  static auto* const instance = [] {
    auto* made = new std::shared_ptr<MutterRemoteDesktop>(std::make_shared<MutterRemoteDesktop>());
    // Nothing stays open on the desktop while no manager is connected.
    DesktopSessionDemand::shared().whenLastReleased([weak = std::weak_ptr<MutterRemoteDesktop>(*made)] {
      if (auto desktop = weak.lock()) desktop->closeInBackground();
    });
    sharedMade.store(true);
    return made;
  }();
  return *instance;
}

void MutterRemoteDesktop::closeShared() {
  if (sharedMade.load()) shared()->close();
}

MutterRemoteDesktop::MutterRemoteDesktop() : impl_(std::make_shared<Impl>()) {}

MutterRemoteDesktop::~MutterRemoteDesktop() = default;

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

bool MutterRemoteDesktop::sessionOpen() const { return impl_->live.load(); }

void MutterRemoteDesktop::close() {
  (void)impl_->busThread.run<bool>(
      [impl = impl_.get()] {
        impl->input.dropAll("the session is closed");
        impl->stopSession();
        return true;
      },
      callLimit);
}

void MutterRemoteDesktop::closeInBackground() {
  (void)impl_->busThread.enqueue(
      [impl = impl_.get()] {
        impl->input.dropAll("the session is closed");
        impl->stopSession();
      },
      Impl::Clock::now() + startLimit);
}

bool MutterRemoteDesktop::pointerMotionAbsolute(double x, double y, InputDone done) {
  return impl_->postInput({MutterSessionInput::Kind::motionAbsolute, 0, 0, x, y, std::move(done), {}});
}

bool MutterRemoteDesktop::pointerButton(std::int32_t evdevButton, bool pressed, InputDone done) {
  return impl_->postInput({MutterSessionInput::Kind::button,
                           static_cast<std::uint32_t>(evdevButton),
                           pressed ? 1 : 0,
                           0,
                           0,
                           std::move(done),
                           {}});
}

bool MutterRemoteDesktop::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps, InputDone done) {
  return impl_->postInput({MutterSessionInput::Kind::axisDiscrete, axis, steps, 0, 0, std::move(done), {}});
}

bool MutterRemoteDesktop::keyboardKeycode(std::uint32_t evdevKey, bool pressed, InputDone done) {
  return impl_->postInput(
      {MutterSessionInput::Kind::key, evdevKey, pressed ? 1 : 0, 0, 0, std::move(done), {}});
}

std::optional<MutterRemoteDesktop::StreamSize> MutterRemoteDesktop::streamSize() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->recordedSize;
}

void MutterRemoteDesktop::enableClipboard() {
  if (impl_->clipboardWanted.exchange(true)) return;
  (void)impl_->busThread.enqueue([impl = impl_.get()] { impl->clipboard->enable(); },
                                 Impl::Clock::now() + startLimit);
}

MutterRemoteDesktop::Selection MutterRemoteDesktop::selection() const {
  return impl_->clipboard->selection();
}

UniqueFd MutterRemoteDesktop::openSelectionRead(const std::string& mime) {
  enableClipboard();
  auto fd = impl_->busThread.run<int>(
      [impl = impl_.get(), mime] {
        return impl->startSession() ? impl->clipboard->read(mime).release() : -1;
      },
      callLimit);
  return UniqueFd(fd.value_or(-1));
}

bool MutterRemoteDesktop::setSelection(std::vector<std::pair<std::string, Bytes>> content) {
  enableClipboard();
  std::vector<std::string> types;
  types.reserve(content.size());
  for (const auto& [type, bytes] : content) types.push_back(type);
  impl_->clipboard->keepOffer(std::move(content));
  return impl_->busThread
      .run<bool>(
          [impl = impl_.get(), types] { return impl->startSession() && impl->clipboard->offer(types); },
          callLimit)
      .value_or(false);
}

}  // namespace vantrel

#include "Platform/GnomeWayland/MutterScreenCastSession.hpp"

#include <systemd/sd-bus.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"
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

void check(int r, const char* what) {
  if (r < 0) throw CompositorCaptureError::unavailable(fmt::format("{}: {}", what, std::strerror(-r)));
}

}  // namespace

std::shared_ptr<MutterScreenCastSession> MutterScreenCastSession::acquire(
    bool showsCursor, std::chrono::steady_clock::time_point deadline) {
  // One cast per cursor mode; a reader that asks meanwhile waits for the one being opened.
  static std::mutex registryMutex;
  static std::map<bool, std::weak_ptr<MutterScreenCastSession>> registry;
  std::lock_guard lock(registryMutex);
  if (auto running = registry[showsCursor].lock(); running && !running->hasEnded()) return running;
  std::shared_ptr<MutterScreenCastSession> session(new MutterScreenCastSession(showsCursor));
  session->start(deadline);
  registry[showsCursor] = session;
  return session;
}

MutterScreenCastSession::MutterScreenCastSession(bool showsCursor) : showsCursor_(showsCursor) {}

MutterScreenCastSession::~MutterScreenCastSession() { close(); }

void MutterScreenCastSession::close() noexcept {
  // The stream's end frees every buffer; a reader still holding one keeps its own mapping.
  stream_.reset();
  if (!bus_) return;
  // Stopped without waiting for the answer: a compositor that hangs must not hang the stop. The
  // session would end with the connection anyway; the call ends it at once.
  if (sessionStarted_ && !ended_ && !sessionPath_.empty()) {
    (void)sd_bus_call_method_async(bus_, nullptr, service, sessionPath_.c_str(), sessionInterface, "Stop",
                                   nullptr, nullptr, "");
  }
  ownerSlot_ = sd_bus_slot_unref(ownerSlot_);
  closedSlot_ = sd_bus_slot_unref(closedSlot_);
  streamAddedSlot_ = sd_bus_slot_unref(streamAddedSlot_);
  bus_ = sd_bus_flush_close_unref(bus_);
}

void MutterScreenCastSession::end(std::string why) {
  if (ended_) return;
  castLog().info("Screen cast ended: {}", why);
  ended_ = std::move(why);
}

int MutterScreenCastSession::onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
  if (BusCall::formerOwnerLeft(m))
    static_cast<MutterScreenCastSession*>(data)->end("the compositor left the session bus");
  return 0;
}

int MutterScreenCastSession::onClosed(sd_bus_message*, void* data, sd_bus_error*) {
  static_cast<MutterScreenCastSession*>(data)->end("the compositor closed the screen cast session");
  return 0;
}

int MutterScreenCastSession::onStreamAdded(sd_bus_message* m, void* data, sd_bus_error*) {
  std::uint32_t node = 0;
  if (sd_bus_message_read(m, "u", &node) >= 0)
    static_cast<MutterScreenCastSession*>(data)->nodeAnnounced_ = node;
  return 0;
}

sd_bus_message* MutterScreenCastSession::newCall(const char* path, const char* interface,
                                                 const char* member) {
  sd_bus_message* m = nullptr;
  const int r = sd_bus_message_new_method_call(bus_, &m, service, path, interface, member);
  if (r < 0) {
    throw CompositorCaptureError::failed(
        fmt::format("Cannot build a screen cast request: {}", std::strerror(-r)));
  }
  return m;
}

// Sends `m` (consumed) and returns the reply; a refusal throws `refused` when `refusal` is set,
// `unavailable` otherwise.
sd_bus_message* MutterScreenCastSession::call(sd_bus_message* m, const char* what, bool refusal) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call(bus_, m, 5'000'000, &error, &reply);
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

std::string MutterScreenCastSession::readPath(sd_bus_message* reply, const char* what) {
  const char* path = nullptr;
  const int r = sd_bus_message_read(reply, "o", &path);
  std::string result = r >= 0 && path ? path : "";
  sd_bus_message_unref(reply);
  if (result.empty()) throw CompositorCaptureError::unavailable(fmt::format("{}: malformed answer", what));
  return result;
}

void MutterScreenCastSession::start(std::chrono::steady_clock::time_point deadline) {
  const auto displays = mutterDisplays(readMutterDisplayState());
  if (displays.empty())
    throw CompositorCaptureError::unavailable("The compositor reports no monitor to capture.");
  area_ = displays.front().bounds;
  connector_ = displays.front().connector;
  check(sd_bus_open_user(&bus_), "The session bus cannot be reached");
  // The compositor leaving the bus (it crashed or was stopped) ends the cast; no Closed comes then.
  check(BusCall::watchNameOwner(bus_, &ownerSlot_, service, &onOwnerChanged, this),
        "Cannot watch the compositor on the session bus");
  auto* create = newCall(MutterScreenCastService::path, MutterScreenCastService::interface, "CreateSession");
  check(sd_bus_message_append(create, "a{sv}", 0), "Cannot build a screen cast request");
  sessionPath_ = readPath(call(create, "The compositor's screen cast service is not available", false),
                          "The compositor's screen cast service");
  check(sd_bus_match_signal(bus_, &closedSlot_, service, sessionPath_.c_str(), sessionInterface, "Closed",
                            &onClosed, this),
        "Cannot watch the screen cast session");
  auto* record = newCall(sessionPath_.c_str(), sessionInterface, "RecordMonitor");
  check(sd_bus_message_append(record, "sa{sv}", connector_.c_str(), 1, "cursor-mode", "u",
                              showsCursor_ ? cursorAsMetadata : cursorHidden),
        "Cannot build a screen cast request");
  const auto streamPath = readPath(call(record, "The compositor refused to record the monitor", true),
                                   "The compositor's screen cast of the monitor");
  check(sd_bus_match_signal(bus_, &streamAddedSlot_, service, streamPath.c_str(), streamInterface,
                            "PipeWireStreamAdded", &onStreamAdded, this),
        "Cannot watch the screen cast stream");
  sd_bus_message_unref(call(newCall(sessionPath_.c_str(), sessionInterface, "Start"),
                            "The compositor refused to start the screen cast", true));
  sessionStarted_ = true;
  std::lock_guard lock(mutex_);
  while (!nodeAnnounced_) {
    pumpLocked();
    if (ended_) throw CompositorCaptureError::ended(endedText);
    if (nodeAnnounced_) break;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds(0)) {
      throw CompositorCaptureError::unavailable("The compositor started no screen cast stream in time.");
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    const int r = sd_bus_wait(bus_, static_cast<std::uint64_t>(std::max<long long>(1, micros)));
    if (r < 0 && r != -EINTR) end(fmt::format("waiting on the session bus failed: {}", std::strerror(-r)));
  }
  node_ = *nodeAnnounced_;
  stream_ = std::make_unique<PipeWireScreenStream>(node_, showsCursor_);
}

int MutterScreenCastSession::busFd() const noexcept { return bus_ ? sd_bus_get_fd(bus_) : -1; }

void MutterScreenCastSession::pumpLocked() {
  if (!bus_ || ended_) return;
  for (int i = 0; i < 256; ++i) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      end(fmt::format("the session bus connection failed: {}", std::strerror(-r)));
      return;
    }
    if (r == 0) break;
  }
  if (sd_bus_is_open(bus_) <= 0) end("the session bus connection closed");
}

void MutterScreenCastSession::pump() {
  std::lock_guard lock(mutex_);
  pumpLocked();
  if (!ended_ && stream_) {
    if (auto why = stream_->ended()) end(std::move(*why));
  }
  if (ended_) throw CompositorCaptureError::ended(endedText);
}

bool MutterScreenCastSession::hasEnded() {
  try {
    pump();
    return false;
  } catch (const CompositorCaptureError&) {
    return true;
  }
}

}  // namespace vantrel

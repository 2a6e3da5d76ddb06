#include "Platform/GnomeWayland/MutterSessionInput.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

const SystemLog& inputQueueLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "remote-desktop");
  return log;
}

const char* memberOf(MutterSessionInput::Kind kind) {
  switch (kind) {
    case MutterSessionInput::Kind::motionAbsolute: return "NotifyPointerMotionAbsolute";
    case MutterSessionInput::Kind::button: return "NotifyPointerButton";
    case MutterSessionInput::Kind::axisDiscrete: return "NotifyPointerAxisDiscrete";
    case MutterSessionInput::Kind::key: return "NotifyKeyboardKeycode";
  }
  return "";
}

bool holds(MutterSessionInput::Kind kind) {
  return kind == MutterSessionInput::Kind::button || kind == MutterSessionInput::Kind::key;
}

long long millisecondsSince(MutterSessionInput::Clock::time_point then,
                            MutterSessionInput::Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
}

}  // namespace

MutterSessionInput::MutterSessionInput(Session& session) : session_(session) {}

MutterSessionInput::~MutterSessionInput() { answerSlot_ = sd_bus_slot_unref(answerSlot_); }

bool MutterSessionInput::push(Event event) {
  event.queued = Clock::now();
  std::lock_guard lock(mutex_);
  // Only the newest of several waiting pointer positions matters.
  if (event.kind == Kind::motionAbsolute && !event.done && !queue_.empty() &&
      queue_.back().kind == Kind::motionAbsolute && !queue_.back().done) {
    queue_.back() = std::move(event);
    return true;
  }
  if (queue_.size() >= maximumQueued) return false;
  queue_.push_back(std::move(event));
  return true;
}

bool MutterSessionInput::mustSend(const Event& event) const {
  return holds(event.kind) && event.value == 0 && pressed_.contains({event.kind, event.code});
}

MutterSessionInput::Clock::time_point MutterSessionInput::deadline(const Event& event) const {
  // Time spent making the session counts from when its devices are ready, not from the queuing;
  // but no event is sent longer than `oldestSent` after it came.
  const auto from =
      std::max(event.queued, session_.sessionPath().empty() ? event.queued : session_.inputFrom());
  return std::min(from + eventLimit, event.queued + oldestSent);
}

bool MutterSessionInput::late(const Event& event, Clock::time_point now) const {
  return now > deadline(event);
}

void MutterSessionInput::report(Event& event, bool taken) {
  if (event.done) event.done(taken);
}

void MutterSessionInput::reportDropped(const Event& event, Clock::time_point now) {
  // One line per stall, not one per event.
  if (!dropLogged_) {
    inputQueueLog().error(
        "VantrelMac remote desktop: input not sent: the compositor has not taken input for {} ms ({} "
        "dropped, not sent late)",
        millisecondsSince(event.queued, now), memberOf(event.kind));
  }
  dropLogged_ = true;
}

void MutterSessionInput::dropLate() {
  const auto now = Clock::now();
  std::vector<Event> dropped;
  std::optional<Clock::time_point> next;
  {
    std::lock_guard lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (mustSend(*it)) {
        ++it;
      } else if (late(*it, now)) {
        dropped.push_back(std::move(*it));
        it = queue_.erase(it);
      } else {
        const auto due = deadline(*it);
        if (!next || due < *next) next = due;
        ++it;
      }
    }
  }
  for (auto& event : dropped) {
    reportDropped(event, now);
    report(event, false);
  }
  // Decided at its limit, even while the compositor keeps an answer waiting.
  if (next) session_.wakeAt(*next + std::chrono::milliseconds(1));
}

void MutterSessionInput::advance() {
  // A completion may queue more input; the loop below sees it.
  if (inAdvance_) return;
  inAdvance_ = true;
  dropLate();
  while (!awaited_) {
    Event event;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      event = std::move(queue_.front());
      queue_.pop_front();
    }
    auto now = Clock::now();
    if (!mustSend(event) && late(event, now)) {
      reportDropped(event, now);
      report(event, false);
      continue;
    }
    if (!session_.startSession()) {
      report(event, false);
      dropAll("no session with the compositor");
      break;
    }
    now = Clock::now();
    if (now < session_.inputFrom()) {
      // Not yet: the event waits, first in line, for the devices to settle.
      std::lock_guard lock(mutex_);
      queue_.push_front(std::move(event));
      session_.wakeAt(session_.inputFrom());
      break;
    }
    if (!mustSend(event) && late(event, now)) {
      reportDropped(event, now);
      report(event, false);
      continue;
    }
    if (const int r = send(event); r < 0) {
      report(event, false);
      session_.loseSession(fmt::format("{} could not be sent ({})", memberOf(event.kind), std::strerror(-r)));
      continue;
    }
    if (holds(event.kind)) {
      if (event.value != 0) {
        pressed_.insert({event.kind, event.code});
      } else {
        pressed_.erase({event.kind, event.code});
      }
    }
    sentAt_ = now;
    awaited_ = std::move(event);
  }
  inAdvance_ = false;
}

int MutterSessionInput::send(const Event& event) {
  sd_bus* bus = session_.bus();
  if (!bus) return -ENOTCONN;
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, MutterRemoteDesktopService::name,
                                         session_.sessionPath().c_str(),
                                         MutterRemoteDesktopService::sessionInterface, memberOf(event.kind));
  if (r >= 0) {
    switch (event.kind) {
      case Kind::motionAbsolute: {
        double x = event.x;
        double y = event.y;
        if (const auto size = session_.monitorSize(); size && size->first > 0 && size->second > 0) {
          x = std::clamp(x, 0.0, static_cast<double>(size->first - 1));
          y = std::clamp(y, 0.0, static_cast<double>(size->second - 1));
        }
        r = sd_bus_message_append(m, "sdd", session_.streamPath().c_str(), x, y);
        break;
      }
      case Kind::button:
        r = sd_bus_message_append(m, "ib", static_cast<std::int32_t>(event.code), event.value != 0);
        break;
      case Kind::axisDiscrete: r = sd_bus_message_append(m, "ui", event.code, event.value); break;
      case Kind::key: r = sd_bus_message_append(m, "ub", event.code, event.value != 0); break;
    }
  }
  if (r >= 0) {
    r = sd_bus_call_async(bus, &answerSlot_, m, &MutterSessionInput::onAnswer, this,
                          std::chrono::duration_cast<std::chrono::microseconds>(answerLimit).count());
  }
  sd_bus_message_unref(m);
  return r;
}

int MutterSessionInput::onAnswer(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterSessionInput*>(data);
  self->answerSlot_ = sd_bus_slot_unref(self->answerSlot_);
  if (!self->awaited_) return 0;
  Event event = std::move(*self->awaited_);
  self->awaited_.reset();
  const auto now = Clock::now();
  if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
    const std::string why =
        fmt::format("{} failed after {} ms ({})", memberOf(event.kind), millisecondsSince(self->sentAt_, now),
                    BusCall::describe(-EIO, *error));
    self->report(event, false);
    // Calls on the bus may not be made from here.
    self->session_.defer([self, why] { self->session_.loseSession(why); });
    return 0;
  }
  if (self->dropLogged_)
    inputQueueLog().notice("VantrelMac remote desktop: the compositor takes input again");
  self->dropLogged_ = false;
  self->report(event, true);
  self->session_.defer([self] { self->advance(); });
  return 0;
}

void MutterSessionInput::sessionEnded() {
  answerSlot_ = sd_bus_slot_unref(answerSlot_);
  if (awaited_) {
    Event event = std::move(*awaited_);
    awaited_.reset();
    report(event, false);
  }
  pressed_.clear();
  session_.wakeAt(Clock::now());
}

void MutterSessionInput::dropAll(const char* why) {
  std::deque<Event> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(queue_);
  }
  // One line per outage, not one per event.
  if (!dropped.empty() && !dropLogged_) {
    inputQueueLog().error("VantrelMac remote desktop: {} input events not sent: {}", dropped.size(), why);
    dropLogged_ = true;
  }
  for (auto& event : dropped) report(event, false);
}

}  // namespace vantrel

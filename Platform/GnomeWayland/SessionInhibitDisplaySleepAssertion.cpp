#include <systemd/sd-bus.h>

#include <utility>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Platform/GnomeWayland/SessionInhibitDisplaySleepAssertion.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

const SystemLog& inhibitLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "display-sleep");
  return log;
}

constexpr const char* applicationId = "VantrelMac";
constexpr const char* reason = "A manager is connected to this desktop";
constexpr std::uint32_t inhibitIdle = 8;
constexpr std::uint64_t callTimeoutMicroseconds = 1'000'000;

constexpr const char* sessionManagerName = "org.gnome.SessionManager";
constexpr const char* screenSaverName = "org.freedesktop.ScreenSaver";

sd_bus* openSessionBus() { return BusCall::openUserBus(callTimeoutMicroseconds); }

// Asks one service for an inhibition; its cookie, or nothing.
std::optional<std::uint32_t> inhibit(sd_bus* bus, const char* service, std::string& failure) {
  BusCall call;
  int r = 0;
  if (std::string_view(service) == sessionManagerName) {
    r = sd_bus_call_method(bus, sessionManagerName, "/org/gnome/SessionManager", "org.gnome.SessionManager",
                           "Inhibit", &call.error, &call.reply, "susu", applicationId, 0u, reason,
                           inhibitIdle);
  } else {
    r = sd_bus_call_method(bus, screenSaverName, "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver", "Inhibit", &call.error, &call.reply, "ss",
                           applicationId, reason);
  }
  std::uint32_t cookie = 0;
  if (r >= 0) r = sd_bus_message_read(call.reply, "u", &cookie);
  if (r < 0) {
    failure += std::string(failure.empty() ? "" : "; ") + service + ": " + BusCall::describe(r, call.error);
    return std::nullopt;
  }
  return cookie;
}

}  // namespace

SessionInhibitDisplaySleepAssertion::SessionInhibitDisplaySleepAssertion() = default;

SessionInhibitDisplaySleepAssertion::~SessionInhibitDisplaySleepAssertion() { release(); }

bool SessionInhibitDisplaySleepAssertion::declareUserActivity() {
  sd_bus* bus = openSessionBus();
  if (!bus) return false;
  BusCall call;
  const int r =
      sd_bus_call_method(bus, screenSaverName, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "SimulateUserActivity", &call.error, nullptr, "");
  sd_bus_flush_close_unref(bus);
  return r >= 0;
}

namespace {

// Lets go of a hold: the service's own call, then closing the connection, which ends the
// inhibition even where the call failed.
void releaseHold(sd_bus* bus, const std::string& holder, std::uint32_t cookie) {
  if (holder == sessionManagerName) {
    (void)sd_bus_call_method(bus, sessionManagerName, "/org/gnome/SessionManager", "org.gnome.SessionManager",
                             "Uninhibit", nullptr, nullptr, "u", cookie);
  } else if (holder == screenSaverName) {
    (void)sd_bus_call_method(bus, screenSaverName, "/org/freedesktop/ScreenSaver",
                             "org.freedesktop.ScreenSaver", "UnInhibit", nullptr, nullptr, "u", cookie);
  }
  sd_bus_flush_close_unref(bus);
}

}  // namespace

// The lock guards the hold's state only, never a bus call: a caller asking who holds the display
// does not wait for a service that is slow to answer.
bool SessionInhibitDisplaySleepAssertion::acquire() {
  sd_bus* stale = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (bus_ && sd_bus_is_open(bus_) > 0 && !holder_.empty()) return true;
    // A hold whose connection closed ended with it.
    stale = std::exchange(bus_, nullptr);
    holder_.clear();
    cookie_ = 0;
  }
  if (stale) sd_bus_flush_close_unref(stale);
  sd_bus* bus = openSessionBus();
  if (!bus) {
    inhibitLog().error("VantrelMac: the display cannot be kept awake: no session bus");
    return false;
  }
  std::string failure;
  for (const char* service : {sessionManagerName, screenSaverName}) {
    if (const auto cookie = inhibit(bus, service, failure)) {
      {
        std::lock_guard lock(mutex_);
        if (!bus_) {
          bus_ = bus;
          holder_ = service;
          cookie_ = *cookie;
          inhibitLog().info("VantrelMac: the display is kept awake through {}", holder_);
          return true;
        }
      }
      // Another acquire finished first: one hold is enough.
      releaseHold(bus, service, *cookie);
      return true;
    }
  }
  sd_bus_flush_close_unref(bus);
  inhibitLog().error("VantrelMac: the display cannot be kept awake: {}", failure);
  return false;
}

void SessionInhibitDisplaySleepAssertion::release() {
  sd_bus* bus = nullptr;
  std::string holder;
  std::uint32_t cookie = 0;
  {
    std::lock_guard lock(mutex_);
    bus = std::exchange(bus_, nullptr);
    holder = std::exchange(holder_, std::string());
    cookie = std::exchange(cookie_, 0);
  }
  if (bus) releaseHold(bus, holder, cookie);
}

std::string SessionInhibitDisplaySleepAssertion::holder() const {
  std::lock_guard lock(mutex_);
  return holder_;
}

}  // namespace vantrel

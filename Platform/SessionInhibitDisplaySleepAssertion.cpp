#include <systemd/sd-bus.h>

#include "Platform/DisplaySleepAssertion.hpp"
#include "Platform/MutterBus.hpp"
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

sd_bus* openSessionBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  sd_bus_set_method_call_timeout(bus, callTimeoutMicroseconds);
  return bus;
}

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

bool SessionInhibitDisplaySleepAssertion::acquire() {
  std::lock_guard lock(mutex_);
  if (bus_ && sd_bus_is_open(bus_) > 0 && !holder_.empty()) return true;
  if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
  holder_.clear();
  sd_bus* bus = openSessionBus();
  if (!bus) {
    inhibitLog().error("VantrelMac: the display cannot be kept awake: no session bus");
    return false;
  }
  std::string failure;
  for (const char* service : {sessionManagerName, screenSaverName}) {
    if (const auto cookie = inhibit(bus, service, failure)) {
      bus_ = bus;
      holder_ = service;
      cookie_ = *cookie;
      inhibitLog().info("VantrelMac: the display is kept awake through {}", holder_);
      return true;
    }
  }
  sd_bus_flush_close_unref(bus);
  inhibitLog().error("VantrelMac: the display cannot be kept awake: {}", failure);
  return false;
}

void SessionInhibitDisplaySleepAssertion::release() {
  std::lock_guard lock(mutex_);
  if (!bus_) return;
  if (holder_ == sessionManagerName) {
    (void)sd_bus_call_method(bus_, sessionManagerName, "/org/gnome/SessionManager",
                             "org.gnome.SessionManager", "Uninhibit", nullptr, nullptr, "u", cookie_);
  } else if (holder_ == screenSaverName) {
    (void)sd_bus_call_method(bus_, screenSaverName, "/org/freedesktop/ScreenSaver",
                             "org.freedesktop.ScreenSaver", "UnInhibit", nullptr, nullptr, "u", cookie_);
  }
  // Closing the connection ends the inhibition even where the call above failed.
  bus_ = sd_bus_flush_close_unref(bus_);
  holder_.clear();
  cookie_ = 0;
}

std::string SessionInhibitDisplaySleepAssertion::holder() const {
  std::lock_guard lock(mutex_);
  return holder_;
}

}  // namespace vantrel

#include "Platform/GnomeWayland/MutterBus.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"

namespace vantrel {
namespace {

constexpr int maximumDimension = 32768;

bool saneSize(int width, int height) {
  return width > 0 && height > 0 && width <= maximumDimension && height <= maximumDimension;
}

}  // namespace

BusCall::~BusCall() {
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
}

std::string BusCall::describe(int r, const sd_bus_error& error) {
  if (sd_bus_error_is_set(&error)) {
    return std::string(error.name) + (error.message ? std::string(": ") + error.message : std::string());
  }
  return std::strerror(r < 0 ? -r : r);
}

bool BusCall::nameHasOwner(sd_bus* bus, const char* name) {
  BusCall call;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &call.error, &call.reply, "s", name) < 0) {
    return false;
  }
  return sd_bus_message_read(call.reply, "b", &owned) >= 0 && owned;
}

sd_bus* BusCall::openUserBus(std::uint64_t callTimeoutMicroseconds, int* error) {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (error) *error = r < 0 ? r : 0;
  if (r < 0) return nullptr;
  sd_bus_set_method_call_timeout(bus, callTimeoutMicroseconds);
  return bus;
}

sd_bus* BusCall::openUserBusForOneCall(int* error) {
  int r = 0;
  sd_bus* bus = openUserBus(oneCallTimeoutMicroseconds, &r);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::microseconds(oneCallTimeoutMicroseconds);
  while (bus && r >= 0) {
    r = sd_bus_is_ready(bus);
    if (r > 0) break;
    if (r == 0) r = sd_bus_process(bus, nullptr);
    if (r != 0) continue;  // progress made (or an error, which ends the loop)
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    r = left.count() > 0 ? sd_bus_wait(bus, static_cast<std::uint64_t>(left.count())) : -ETIMEDOUT;
    if (r == 0 && std::chrono::steady_clock::now() >= deadline) r = -ETIMEDOUT;
  }
  // Not flushed: a flush would wait for the very handshake that did not come.
  if (bus && r < 0) bus = sd_bus_close_unref(bus);
  if (error) *error = r < 0 ? r : 0;
  return bus;
}

bool BusCall::userBusHasName(const char* name) {
  sd_bus* bus = openUserBusForOneCall();
  if (!bus) return false;
  const bool owned = nameHasOwner(bus, name);
  sd_bus_flush_close_unref(bus);
  return owned;
}

int BusCall::watchNameOwner(sd_bus* bus, sd_bus_slot** slot, const char* name,
                            sd_bus_message_handler_t handler, void* data) {
  // Bus names hold no quote, so the name goes into the rule as it is.
  if (!name || std::strchr(name, '\'')) return -EINVAL;
  const auto rule = fmt::format(
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='{}'",
      name);
  return sd_bus_add_match(bus, slot, rule.c_str(), handler, data);
}

bool BusCall::formerOwnerLeft(sd_bus_message* m) {
  const char *name = nullptr, *former = nullptr, *next = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &former, &next) < 0) return false;
  return former && *former;
}

std::optional<std::pair<int, int>> mutterStreamSize(sd_bus* bus, const char* streamPath) {
  BusCall call;
  if (sd_bus_get_property(bus, MutterScreenCastService::name, streamPath,
                          MutterScreenCastService::streamInterface, "Parameters", &call.error, &call.reply,
                          "a{sv}") < 0) {
    return std::nullopt;
  }
  std::optional<std::pair<int, int>> size;
  if (sd_bus_message_enter_container(call.reply, 'a', "{sv}") <= 0) return std::nullopt;
  while (sd_bus_message_enter_container(call.reply, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (sd_bus_message_read_basic(call.reply, 's', &key) < 0) return std::nullopt;
    if (sd_bus_message_peek_type(call.reply, nullptr, &contents) < 0) return std::nullopt;
    if (std::string_view(key) == "size" && contents && std::string_view(contents) == "(ii)") {
      std::int32_t width = 0;
      std::int32_t height = 0;
      if (sd_bus_message_read(call.reply, "v", "(ii)", &width, &height) < 0) return std::nullopt;
      if (saneSize(width, height)) size = std::pair{width, height};
    } else if (sd_bus_message_skip(call.reply, "v") < 0) {
      return std::nullopt;
    }
    if (sd_bus_message_exit_container(call.reply) < 0) return std::nullopt;
  }
  return size;
}

namespace MutterServices {
namespace {

bool serviceAnswers(sd_bus* bus, const char* name, const char* path, const char* interface) {
  if (!bus) return false;
  BusCall call;
  return sd_bus_call_method(bus, name, path, "org.freedesktop.DBus.Properties", "Get", &call.error,
                            &call.reply, "ss", interface, "Version") >= 0;
}

// Asks both services on a thread of its own when an answer is older than `refreshAfter`, over
// one connection it keeps; askers never wait for the bus, except the very first.
class ServiceProbe {
 public:
  struct Answers {
    bool screenCast = false;
    bool remoteDesktop = false;
  };

  static ServiceProbe& shared() {
    // Never destroyed: its thread may be in a bus call when the process ends.
    static auto* const probe = new ServiceProbe;
    return *probe;
  }

  Answers ask() {
    std::unique_lock lock(mutex_);
    if (!last_ || Clock::now() - probedAt_ >= refreshAfter) {
      wanted_ = true;
      changed_.notify_all();
    }
    if (!last_) changed_.wait_for(lock, firstAnswerLimit, [this] { return last_.has_value(); });
    return last_.value_or(Answers{});
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto refreshAfter = std::chrono::seconds(2);
  static constexpr auto firstAnswerLimit = std::chrono::milliseconds(1200);

  ServiceProbe() : thread_([this] { run(); }) { thread_.detach(); }

  void run() {
    sd_bus* bus = nullptr;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return wanted_; });
        wanted_ = false;
      }
      if (bus && sd_bus_is_open(bus) <= 0) bus = sd_bus_flush_close_unref(bus);
      if (!bus) bus = BusCall::openUserBus(500'000);
      const Answers answers{
          serviceAnswers(bus, MutterScreenCastService::name, MutterScreenCastService::path,
                         MutterScreenCastService::interface),
          serviceAnswers(bus, MutterRemoteDesktopService::name, MutterRemoteDesktopService::path,
                         MutterRemoteDesktopService::interface)};
      // A connection to a bus that went answers nothing: the next probe opens a new one.
      if (bus && !answers.screenCast && !answers.remoteDesktop) bus = sd_bus_flush_close_unref(bus);
      {
        std::lock_guard lock(mutex_);
        last_ = answers;
        probedAt_ = Clock::now();
      }
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool wanted_ = false;
  std::optional<Answers> last_;
  Clock::time_point probedAt_{};
  std::thread thread_;
};

}  // namespace

bool screenCastAnswers() { return ServiceProbe::shared().ask().screenCast; }

bool remoteDesktopAnswers() { return ServiceProbe::shared().ask().remoteDesktop; }

}  // namespace MutterServices
}  // namespace vantrel

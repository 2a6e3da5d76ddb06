#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/GnomeWayland/SessionInhibitDisplaySleepAssertion.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;

// A stand-in for the session manager or the screen saver on the private session bus: answers
// Inhibit with a cookie and records every call, as "Member arg,arg,…".
class FakeInhibitService {
 public:
  FakeInhibitService(std::string name, std::string path, std::string interface, bool gnome)
      : name_(std::move(name)), path_(std::move(path)), interface_(std::move(interface)), gnome_(gnome) {
    if (sd_bus_open_user(&bus_) < 0) throw std::runtime_error("no session bus");
    if (sd_bus_add_object_vtable(bus_, &slot_, path_.c_str(), interface_.c_str(),
                                 gnome ? gnomeTable : saverTable, this) < 0 ||
        sd_bus_request_name(bus_, name_.c_str(), 0) < 0) {
      throw std::runtime_error("cannot serve " + name_);
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~FakeInhibitService() {
    stop_ = true;
    thread_.join();
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  static int onGnomeInhibit(sd_bus_message* m, void* data, sd_bus_error*) {
    const char* app = nullptr;
    std::uint32_t xid = 0;
    const char* why = nullptr;
    std::uint32_t flags = 0;
    if (sd_bus_message_read(m, "susu", &app, &xid, &why, &flags) < 0) return -EINVAL;
    static_cast<FakeInhibitService*>(data)->record(fmt::format("Inhibit {},{},{},{}", app, xid, why, flags));
    return sd_bus_reply_method_return(m, "u", 4242u);
  }
  static int onSaverInhibit(sd_bus_message* m, void* data, sd_bus_error*) {
    const char* app = nullptr;
    const char* why = nullptr;
    if (sd_bus_message_read(m, "ss", &app, &why) < 0) return -EINVAL;
    static_cast<FakeInhibitService*>(data)->record(fmt::format("Inhibit {},{}", app, why));
    return sd_bus_reply_method_return(m, "u", 77u);
  }
  static int onRelease(sd_bus_message* m, void* data, sd_bus_error*) {
    std::uint32_t cookie = 0;
    if (sd_bus_message_read(m, "u", &cookie) < 0) return -EINVAL;
    static_cast<FakeInhibitService*>(data)->record(
        fmt::format("{} {}", sd_bus_message_get_member(m), cookie));
    return sd_bus_reply_method_return(m, "");
  }

  static constexpr sd_bus_vtable gnomeTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "susu", "u", onGnomeInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Uninhibit", "u", "", onRelease, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable saverTable[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ss", "u", onSaverInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("UnInhibit", "u", "", onRelease, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};

  std::string name_, path_, interface_;
  bool gnome_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

std::unique_ptr<FakeInhibitService> fakeSessionManager() {
  return std::make_unique<FakeInhibitService>("org.gnome.SessionManager", "/org/gnome/SessionManager",
                                              "org.gnome.SessionManager", true);
}

std::unique_ptr<FakeInhibitService> fakeScreenSaver() {
  return std::make_unique<FakeInhibitService>("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                              "org.freedesktop.ScreenSaver", false);
}

const std::string reason = "A manager is connected to this desktop";

class SessionInhibitDisplaySleepTest : public ::testing::Test {
 protected:
  PrivateWaylandSession session_;
};

TEST_F(SessionInhibitDisplaySleepTest, TheSessionManagerHoldsIdleAndIsReleasedWithItsCookie) {
  auto manager = fakeSessionManager();
  auto saver = fakeScreenSaver();
  SessionInhibitDisplaySleepAssertion assertion;
  ASSERT_TRUE(assertion.acquire());
  EXPECT_EQ(assertion.holder(), "org.gnome.SessionManager");
  // A second acquire keeps the one hold.
  ASSERT_TRUE(assertion.acquire());
  assertion.release();
  EXPECT_EQ(manager->calls(),
            (std::vector<std::string>{"Inhibit VantrelMac,0," + reason + ",8", "Uninhibit 4242"}));
  EXPECT_TRUE(saver->calls().empty());
  EXPECT_EQ(assertion.holder(), "");
}

TEST_F(SessionInhibitDisplaySleepTest, WithoutASessionManagerTheScreenSaverHolds) {
  auto saver = fakeScreenSaver();
  {
    SessionInhibitDisplaySleepAssertion assertion;
    ASSERT_TRUE(assertion.acquire());
    EXPECT_EQ(assertion.holder(), "org.freedesktop.ScreenSaver");
    // Released by the destructor.
  }
  EXPECT_EQ(saver->calls(), (std::vector<std::string>{"Inhibit VantrelMac," + reason, "UnInhibit 77"}));
}

TEST_F(SessionInhibitDisplaySleepTest, NeitherServiceMeansNoHold) {
  SessionInhibitDisplaySleepAssertion assertion;
  EXPECT_FALSE(assertion.acquire());
  EXPECT_EQ(assertion.holder(), "");
  assertion.release();  // nothing to end
  // A service that comes later is found by the next attempt.
  auto saver = fakeScreenSaver();
  EXPECT_TRUE(assertion.acquire());
  EXPECT_EQ(assertion.holder(), "org.freedesktop.ScreenSaver");
}

}  // namespace
}  // namespace vantrel

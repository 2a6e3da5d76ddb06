// The test session itself: the compositor's services come up on a private bus, go when the
// compositor is killed, come back with a restart, and nothing of it is left after a stop.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;

// Polls (bounded) until the name's ownership is as wanted.
bool nameBecomes(const char* name, bool owned) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (BusCall::userBusHasName(name) != owned) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<pid_t> pidsOf(const std::filesystem::path& runtime) {
  std::vector<pid_t> pids;
  std::ifstream in(runtime / "pids");
  for (pid_t pid = 0; in >> pid;) pids.push_back(pid);
  return pids;
}

TEST(PrivateWaylandSession, OffersTheCompositorServicesOnItsOwnBus) {
  const char* outer = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string before = outer ? outer : "";
  {
    PrivateWaylandSession session;
    const std::string address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(address, "unix:path=" + (session.runtimeFolder() / "bus").string());
    EXPECT_EQ(std::getenv("DISPLAY"), nullptr) << "no Xwayland was asked for";
    EXPECT_TRUE(BusCall::userBusHasName(MutterScreenCastService::name));
    EXPECT_TRUE(BusCall::userBusHasName(MutterRemoteDesktopService::name));
    EXPECT_TRUE(BusCall::userBusHasName(MutterDisplayConfigService::name));
    EXPECT_TRUE(std::filesystem::exists(session.runtimeFolder() / "pipewire-0"));
    EXPECT_TRUE(std::filesystem::exists(session.runtimeFolder() / "wayland-0"));
  }
  const char* after = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(after ? after : "", before) << "the environment comes back";
}

TEST(PrivateWaylandSession, AKilledCompositorLeavesTheBusAndComesBackOnIt) {
  PrivateWaylandSession session;
  session.killCompositor();
  EXPECT_TRUE(nameBecomes(MutterScreenCastService::name, false));
  session.restartCompositor();
  EXPECT_TRUE(BusCall::userBusHasName(MutterScreenCastService::name));
  EXPECT_TRUE(BusCall::userBusHasName(MutterRemoteDesktopService::name));
  session.restart();
  EXPECT_TRUE(BusCall::userBusHasName(MutterScreenCastService::name));
}

TEST(PrivateWaylandSession, AStopLeavesNoProcess) {
  std::vector<pid_t> pids;
  {
    PrivateWaylandSession session;
    pids = pidsOf(session.runtimeFolder());
    ASSERT_EQ(pids.size(), 4U) << "mutter, wireplumber, pipewire and the bus";
  }
  for (const auto pid : pids) {
    // A stopped child may linger unreaped under another parent only as a zombie.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    if (stat >> pidText >> name >> state) {
      EXPECT_EQ(state, "Z") << "process " << pid << " " << name << " still runs";
    }
  }
}

}  // namespace
}  // namespace vantrel

#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "Model/Connection/MacConnectionRecoveryMonitor.hpp"
#include "Platform/System/SleepWakeMonitor.hpp"
#include "support/AsyncTest.hpp"
#include "support/ChildProcess.hpp"

namespace vantrel {
namespace {

using S = NetworkPathStatus;

// Runs `ip` with the arguments; its exit status (or -1).
int ip(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "ip");
  return testing::runProgram(std::move(arguments));
}

// Everything the monitor and its path source report, with waits for both.
struct Observations {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<S> statuses;
  std::vector<std::string> reasons;

  template <typename Predicate>
  bool waitFor(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, testing::hangGuard, [&] { return predicate(); });
  }
  std::size_t reasonCount() {
    std::lock_guard lock(mutex);
    return reasons.size();
  }
};

// The real rtnetlink source, with every status it delivers recorded before it goes on.
class RecordingPathMonitor final : public PathMonitor {
 public:
  explicit RecordingPathMonitor(Observations& seen) : seen_(seen) {}
  void start(UpdateHandler handler) override {
    inner_.start([this, handler = std::move(handler)](S status) {
      handler(status);
      std::lock_guard lock(seen_.mutex);
      seen_.statuses.push_back(status);
      seen_.changed.notify_all();
    });
  }
  void cancel() override { inner_.cancel(); }

 private:
  Observations& seen_;
  NetlinkPathMonitor inner_;
};

class NoWakeMonitor final : public SleepWakeMonitor {
 public:
  void start(WakeHandler) override {}
  void stop() override {}
};

// The whole scenario runs on one thread that has a network namespace of its own: the dummy
// interface, its TEST-NET address and its default route exist only there, and no packet is sent.
TEST(NetlinkPathMonitorInNamespace, LinkLossAndReturnGiveOneNetworkAvailableEachAndNothingAfterStop) {
  std::string skipReason;
  std::string failure;
  Observations seen;
  std::thread scenario([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skipReason =
          std::string("network namespaces are not permitted here (unshare: ") + std::strerror(errno) + ")";
      return;
    }
    const auto must = [&](std::vector<std::string> args) {
      if (failure.empty() && ip(args) != 0) failure = "ip command failed: " + args[0] + " " + args[1];
    };
    // A dummy interface where the kernel has the module; else a veth pair, whose peer going down
    // takes vt0's carrier away just the same.
    const bool dummy = ip({"link", "add", "vt0", "type", "dummy"}) == 0;
    if (!dummy) must({"link", "add", "vt0", "type", "veth", "peer", "name", "vt1"});
    must({"addr", "add", "192.0.2.1/24", "dev", "vt0"});
    if (!dummy) must({"link", "set", "vt1", "up"});
    must({"link", "set", "vt0", "up"});
    must({"route", "add", "default", "via", "192.0.2.254", "dev", "vt0"});
    const auto carrier = [&](bool on) {
      if (dummy) {
        must({"link", "set", "vt0", "carrier", on ? "on" : "off"});
      } else {
        must({"link", "set", "vt1", on ? "up" : "down"});
      }
    };
    if (!failure.empty()) return;

    MacConnectionRecoveryMonitor monitor(std::make_unique<RecordingPathMonitor>(seen),
                                         std::make_unique<NoWakeMonitor>());
    monitor.start([&](std::string reason) {
      std::lock_guard lock(seen.mutex);
      seen.reasons.push_back(std::move(reason));
      seen.changed.notify_all();
    });
    const auto statusesAre = [&](std::vector<S> expected) {
      if (!seen.waitFor([&] { return seen.statuses.size() >= expected.size(); })) return false;
      std::lock_guard lock(seen.mutex);
      return seen.statuses == expected;
    };
    if (!statusesAre({S::satisfied})) failure = "the initial status was not satisfied";
    if (failure.empty() && seen.reasonCount() != 0) failure = "the initial status was reported";

    // Carrier lost and back: one report.
    carrier(false);
    if (failure.empty() && !statusesAre({S::satisfied, S::unsatisfied})) failure = "carrier loss not seen";
    carrier(true);
    if (failure.empty() && !statusesAre({S::satisfied, S::unsatisfied, S::satisfied}))
      failure = "carrier not back";
    if (failure.empty() && !seen.waitFor([&] { return seen.reasons.size() >= 1; })) failure = "no report";

    // Link down takes the default route with it; up alone is not enough, the route makes it. The
    // loss is awaited before the link comes back, so that the two steps reach the monitor apart
    // however busy the machine is.
    must({"link", "set", "vt0", "down"});
    if (failure.empty() && !statusesAre({S::satisfied, S::unsatisfied, S::satisfied, S::unsatisfied}))
      failure = "link down not seen as a loss";
    must({"link", "set", "vt0", "up"});
    must({"route", "add", "default", "via", "192.0.2.254", "dev", "vt0"});
    if (failure.empty() &&
        !statusesAre({S::satisfied, S::unsatisfied, S::satisfied, S::unsatisfied, S::satisfied})) {
      failure = "link down and up not seen as one loss and one return";
    }
    if (failure.empty() && !seen.waitFor([&] { return seen.reasons.size() >= 2; }))
      failure = "no second report";

    monitor.stop();
    carrier(false);
    carrier(true);
    must({"link", "del", "vt0"});
  });
  scenario.join();
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  ASSERT_TRUE(failure.empty()) << failure;
  std::lock_guard lock(seen.mutex);
  EXPECT_EQ(seen.reasons, (std::vector<std::string>{"Network became available", "Network became available"}));
  EXPECT_EQ(seen.statuses.size(), 5u) << "nothing is delivered after stop";
}

}  // namespace
}  // namespace vantrel

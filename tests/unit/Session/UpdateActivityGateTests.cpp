#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Activity/UpdateActivityGate.hpp"
#include "Support/Clock.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

using Kind = UpdateActivityGate::Kind;
using namespace std::chrono_literals;

TEST(UpdateActivityGate, FreshGate) {
  const auto gate = UpdateActivityGate::create();
  const auto s = gate->snapshot();
  EXPECT_TRUE(s.counts.empty());
  EXPECT_FALSE(s.isBusy());
  EXPECT_EQ(s.screenSessions(), 0);
  EXPECT_EQ(s.fileTransfers(), 0);
  EXPECT_FALSE(s.installationCommitted);
  EXPECT_EQ(s.updaterStatus, "업데이트 서비스 시작 전");
}

TEST(UpdateActivityGate, SharedIsOneInstanceEvenUnderConcurrentFirstUse) {
  std::vector<std::shared_ptr<UpdateActivityGate>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&, i] { seen[i] = UpdateActivityGate::shared(); });
  for (auto& t : threads) t.join();
  for (const auto& g : seen) EXPECT_EQ(g, seen[0]);
  EXPECT_NE(UpdateActivityGate::create(), seen[0]);
}

TEST(UpdateActivityGate, KindRawValues) {
  const std::vector<std::pair<Kind, std::string>> rows{
      {Kind::remoteScreen, "remoteScreen"},
      {Kind::fileTransfer, "fileTransfer"},
      {Kind::remoteInput, "remoteInput"},
      {Kind::developmentJob, "developmentJob"},
  };
  ASSERT_EQ(UpdateActivityGate::allKinds.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(UpdateActivityGate::allKinds[i], rows[i].first);
    EXPECT_EQ(UpdateActivityGate::rawValue(rows[i].first), rows[i].second);
    EXPECT_EQ(UpdateActivityGate::kindFromRawValue(rows[i].second), rows[i].first);
  }
  for (const char* bad : {"RemoteScreen", "remotescreen", "FILETRANSFER", "", "remoteScreen "}) {
    EXPECT_FALSE(UpdateActivityGate::kindFromRawValue(bad).has_value()) << bad;
  }
}

TEST(UpdateActivityGate, CountsPerKindAndLeaseEnding) {
  const auto gate = UpdateActivityGate::create();
  auto a = gate->acquire(Kind::remoteScreen);
  auto b = gate->acquire(Kind::remoteScreen);
  auto c = gate->acquire(Kind::fileTransfer);
  ASSERT_TRUE(a && b && c);
  auto s = gate->snapshot();
  EXPECT_EQ(s.counts, (std::map<Kind, int>{{Kind::remoteScreen, 2}, {Kind::fileTransfer, 1}}));
  EXPECT_TRUE(s.isBusy());
  EXPECT_EQ(s.screenSessions(), 2);
  EXPECT_EQ(s.fileTransfers(), 1);

  a->end();
  a->end();  // twice is harmless
  EXPECT_EQ(gate->snapshot().screenSessions(), 1);
  b.reset();  // the last reference ends it
  EXPECT_EQ(gate->snapshot().counts, (std::map<Kind, int>{{Kind::fileTransfer, 1}}));
  c->end();
  c.reset();
  EXPECT_TRUE(gate->snapshot().counts.empty());
  a.reset();
  EXPECT_TRUE(gate->snapshot().counts.empty());
}

TEST(UpdateActivityGate, LeaseKeepsItsGateAlive) {
  auto gate = UpdateActivityGate::create();
  std::weak_ptr<UpdateActivityGate> weak = gate;
  auto lease = gate->acquire(Kind::remoteInput);
  gate.reset();
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(lease->gate()->snapshot().counts.at(Kind::remoteInput), 1);
  lease.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(UpdateActivityGate, QuietTimeMeasuredFromLastChange) {
  ManualClock clock;
  const auto gate = UpdateActivityGate::create();
  auto lease = gate->acquire(Kind::remoteInput);
  clock.advance(10s);
  // A live lease blocks whatever the quiet time.
  EXPECT_FALSE(gate->reserveInstallationIfIdle(Uuid::random(), 0));
  lease->end();
  // Quiet time 0 succeeds right after a release.
  {
    const auto g2 = UpdateActivityGate::create();
    g2->acquire(Kind::remoteScreen)->end();
    EXPECT_TRUE(g2->reserveInstallationIfIdle(Uuid::random(), 0));
    EXPECT_FALSE(g2->reserveInstallationIfIdle(Uuid::random(), -0.0));  // already reserved
  }
  const auto owner = Uuid::random();
  clock.advance(749ms);
  EXPECT_FALSE(gate->reserveInstallationIfIdle(owner, 0.75));
  clock.advance(1ms);  // exactly 0.75 s since the release
  EXPECT_TRUE(gate->reserveInstallationIfIdle(owner, 0.75));
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  // A second reservation fails, even by the same owner.
  EXPECT_FALSE(gate->reserveInstallationIfIdle(owner, 0));
}

TEST(UpdateActivityGate, EndThenDropSetsTheTimeStampOnce) {
  ManualClock clock;
  const auto gate = UpdateActivityGate::create();
  auto lease = gate->acquire(Kind::fileTransfer);
  lease->end();
  clock.advance(500ms);
  lease.reset();  // a second release must not move the time stamp
  clock.advance(250ms);
  EXPECT_TRUE(gate->reserveInstallationIfIdle(Uuid::random(), 0.75));
}

TEST(UpdateActivityGate, FirstReservationNeedsOnlyUptime) {
  ManualClock clock;  // uptime starts far above zero
  const auto gate = UpdateActivityGate::create();
  EXPECT_TRUE(gate->reserveInstallationIfIdle(Uuid::random(), 3600));
}

TEST(UpdateActivityGate, InvalidQuietTimesAreRefusals) {
  ManualClock clock;
  const auto gate = UpdateActivityGate::create();
  for (double q : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), -1e-9, -1.0}) {
    EXPECT_FALSE(gate->reserveInstallationIfIdle(Uuid::random(), q)) << q;
    EXPECT_FALSE(gate->commitInstallationIfIdle(q)) << q;
  }
  EXPECT_FALSE(gate->snapshot().installationCommitted);
  EXPECT_TRUE(gate->reserveInstallationIfIdle(Uuid::random(), -0.0));
}

TEST(UpdateActivityGate, RefusesLeasesWhileReserved) {
  ManualClock clock;
  const auto gate = UpdateActivityGate::create();
  gate->acquire(Kind::remoteScreen)->end();
  const auto owner = Uuid::random();
  clock.advance(1s);
  ASSERT_TRUE(gate->reserveInstallationIfIdle(owner, 0.75));
  for (const auto kind : UpdateActivityGate::allKinds) EXPECT_EQ(gate->acquire(kind), nullptr);
  EXPECT_TRUE(gate->snapshot().counts.empty());
  // The refusals did not move the time stamp: quiet is still measured from the release.
  gate->cancelInstallation(owner);
  EXPECT_TRUE(gate->reserveInstallationIfIdle(owner, 1.0));
  EXPECT_FALSE(gate->reserveInstallationIfIdle(owner, 1.0));
}

TEST(UpdateActivityGate, CancelInstallationOwners) {
  const auto gate = UpdateActivityGate::create();
  const auto owner = Uuid::random();
  const auto other = Uuid::random();
  gate->cancelInstallation(owner);  // nothing set: nothing changes
  EXPECT_FALSE(gate->snapshot().installationCommitted);
  ASSERT_TRUE(gate->reserveInstallationIfIdle(owner, 0));
  gate->cancelInstallation(other);
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  EXPECT_EQ(gate->acquire(Kind::remoteInput), nullptr);
  gate->cancelInstallation(owner);
  EXPECT_FALSE(gate->snapshot().installationCommitted);
  EXPECT_NE(gate->acquire(Kind::remoteInput), nullptr);

  // A reservation without a known owner is cleared only by nil.
  ASSERT_TRUE(gate->commitInstallationIfIdle(0));
  gate->cancelInstallation(owner);
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  gate->cancelInstallation(std::nullopt);
  EXPECT_FALSE(gate->snapshot().installationCommitted);
}

TEST(UpdateActivityGate, StatusCutAt256Characters) {
  const auto gate = UpdateActivityGate::create();
  std::string longKorean;
  for (int i = 0; i < 300; ++i) longKorean += "가";  // 3 bytes each
  gate->publishUpdaterStatus(longKorean);
  auto status = gate->snapshot().updaterStatus;
  EXPECT_EQ(text::characterCount(status), 256u);
  EXPECT_EQ(status.size(), 256u * 3);
  EXPECT_EQ(status, longKorean.substr(0, 256 * 3));

  // Grapheme clusters count as one character each: a flag is two scalars, eight bytes.
  std::string flags;
  for (int i = 0; i < 257; ++i) flags += "\U0001F1F0\U0001F1F7";
  gate->publishUpdaterStatus(flags);
  status = gate->snapshot().updaterStatus;
  EXPECT_EQ(text::characterCount(status), 256u);
  EXPECT_EQ(status.size(), 256u * 8);

  const std::string exact(256, 'a');
  gate->publishUpdaterStatus(exact);
  EXPECT_EQ(gate->snapshot().updaterStatus, exact);
  gate->publishUpdaterStatus("짧음");
  EXPECT_EQ(gate->snapshot().updaterStatus, "짧음");
  gate->publishUpdaterStatus("");
  EXPECT_EQ(gate->snapshot().updaterStatus, "");
}

TEST(UpdateActivityGate, ManyThreadsTakeAndEndLeases) {
  const auto gate = UpdateActivityGate::create();
  constexpr int threads = 8;
  constexpr int rounds = 2000;
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const auto kind = UpdateActivityGate::allKinds[static_cast<std::size_t>(t) % 4];
      for (int i = 0; i < rounds; ++i) {
        auto lease = gate->acquire(kind);
        if (!lease) continue;  // refused while the updater held a reservation
        if (i % 2 == 0) lease->end();
      }
    });
  }
  // Meanwhile the updater polls and tries to reserve; a reservation must never coexist with a lease.
  std::thread updater([&] {
    const auto owner = Uuid::random();
    while (!stop.load()) {
      const auto s = gate->snapshot();
      EXPECT_FALSE(s.installationCommitted && s.isBusy());
      if (gate->reserveInstallationIfIdle(owner, 0)) {
        EXPECT_FALSE(gate->snapshot().isBusy());
        gate->cancelInstallation(owner);
      }
    }
  });
  for (auto& w : workers) w.join();
  stop = true;
  updater.join();
  const auto s = gate->snapshot();
  EXPECT_TRUE(s.counts.empty());
  EXPECT_FALSE(s.installationCommitted);
}

}  // namespace
}  // namespace vantrel

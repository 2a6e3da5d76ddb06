// How long a network thread is held by one pointer move on a GNOME Wayland session: the calls the
// input injector makes per move (isAvailable, then movePointer), timed on the caller's thread,
// against a private headless compositor that is idle, and one that stands still (SIGSTOP) for a
// second in the middle of the run, as a compositor that busy would.
//
//   bench_WaylandInputPosting [--benchmark_repetitions=N]
//
// Reported per case: p50, p95 and the longest call, in microseconds; and how many moves were
// refused at once (the call returned false).

#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/GnomeWayland/MutterRemoteInput.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int movesPerRun = 400;
// Moves come this far apart, as a manager's do while the mouse moves.
constexpr auto moveInterval = std::chrono::milliseconds(8);

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void run(benchmark::State& state, bool stall) {
  vantrel::testing::PrivateWaylandSession session;
  auto desktop = std::make_shared<vantrel::MutterRemoteDesktop>();
  vantrel::MutterRemoteInput input(desktop);
  // The session is made before the timing starts.
  input.isAvailable();
  (void)input.movePointer(1, 1);
  while (desktop->sessionsStarted() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::vector<double> micros;
  int refused = 0;
  for (auto _ : state) {
    std::thread staller;
    if (stall) {
      staller = std::thread([&session] {
        std::this_thread::sleep_for(movesPerRun / 4 * moveInterval);
        session.pauseCompositor();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        session.resumeCompositor();
      });
    }
    for (int i = 0; i < movesPerRun; ++i) {
      const auto start = Clock::now();
      const bool posted = input.isAvailable() && input.movePointer(100 + i % 500, 100 + i % 300);
      const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      micros.push_back(took);
      refused += posted ? 0 : 1;
      std::this_thread::sleep_until(start + moveInterval);
    }
    if (staller.joinable()) staller.join();
  }
  state.counters["p50_us"] = percentile(micros, 0.50);
  state.counters["p95_us"] = percentile(micros, 0.95);
  state.counters["max_us"] = percentile(micros, 1.0);
  state.counters["refused"] = refused;
}

void IdleCompositor(benchmark::State& state) { run(state, false); }
void CompositorStandingStillForOneSecond(benchmark::State& state) { run(state, true); }

BENCHMARK(IdleCompositor)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(CompositorStandingStillForOneSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

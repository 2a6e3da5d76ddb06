// The clipboard bridge's poll when nothing changed (three times a second for the life of the
// application): its cost and its allocations, for one pass and for a whole timer tick; and the
// CPU the recovery monitor's threads use while the network and the machine stay as they are.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "Model/Connection/MacClipboardBridge.hpp"
#include "Model/Connection/MacConnectionRecoveryMonitor.hpp"
#include "Platform/Ports/Pasteboard.hpp"

namespace {

std::atomic<long long> allocations{0};

}  // namespace

// Every allocation of the program is counted.
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace vantrel;

// A clipboard nobody touches.
class StillPasteboard final : public Pasteboard {
 public:
  long long changeCount() const override { return 42; }
  std::vector<std::string> fileURLs() override { return {}; }
  std::optional<Bytes> pngData() override { return std::nullopt; }
  std::optional<Bytes> otherImageAsPNG() override { return std::nullopt; }
  std::optional<std::string> text() override { return std::nullopt; }
  bool decodesAsImage(ByteView) const override { return false; }
  void clear() override {}
  void writeText(const std::string&) override {}
  void writePNG(const Bytes&) override {}
  bool holdsLastWrite() const override { return false; }
};

void BM_ClipboardPollPassWithoutChange(benchmark::State& state) {
  asio::io_context io;
  auto bridge = MacClipboardBridge::create(io.get_executor(), std::make_shared<StillPasteboard>(), {});
  const auto before = allocations.load();
  for (auto _ : state) bridge->poll();
  state.counters["allocations_per_pass"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ClipboardPollPassWithoutChange);

// A whole tick: the timer fires on the executor, the poll coroutine resumes, looks, re-arms.
void BM_ClipboardPollTickWithoutChange(benchmark::State& state) {
  ManualClock clock;
  asio::io_context io;
  auto bridge = MacClipboardBridge::create(io.get_executor(), std::make_shared<StillPasteboard>(), {});
  bridge->start();
  io.poll();
  long long ticks = 0;
  long long allocated = 0;
  for (auto _ : state) {
    clock.advance(MacClipboardBridge::pollInterval);
    const auto before = allocations.load();
    // The manual clock is noticed by the reactor within a millisecond; only the handler runs are
    // counted for allocations.
    while (io.run_one_for(std::chrono::milliseconds(5)) == 0) {
    }
    allocated += allocations.load() - before;
    ++ticks;
  }
  state.counters["allocations_per_tick"] = static_cast<double>(allocated) / static_cast<double>(ticks);
  bridge->stop();
  io.poll();
}
BENCHMARK(BM_ClipboardPollTickWithoutChange)->Iterations(200);

double processCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The monitor idle for the given seconds of wall time: CPU of all its threads.
void BM_RecoveryMonitorIdleCpu(benchmark::State& state) {
  for (auto _ : state) {
    MacConnectionRecoveryMonitor monitor;
    std::atomic<int> reports{0};
    monitor.start([&](std::string) { ++reports; });
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    monitor.stop();
    state.SetIterationTime(wall);
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["cpu_ms_per_minute"] = 1000.0 * cpu * 60.0 / wall;
    state.counters["reports"] = reports.load();
  }
}
BENCHMARK(BM_RecoveryMonitorIdleCpu)->Arg(20)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

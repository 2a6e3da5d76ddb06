// Cost of the calls the session makes on its own executor: one injected input packet (needs a
// display with XTEST, e.g. DISPLAY=:58 under Xvfb) and one system-information snapshot.

#include <benchmark/benchmark.h>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Input/PermissionStatus.hpp"
#include "SystemInfo/MacSystemInfoProvider.hpp"

namespace {

using vantrel::CGEventRemoteInputInjector;
using vantrel::LegacyInputPacket;

LegacyInputPacket packet(std::uint8_t mode, std::int32_t x, std::int32_t y) {
  LegacyInputPacket p;
  p.command = LegacyInputPacket::remoteMouseCommand;
  p.mode = mode;
  p.x = x;
  p.y = y;
  return p;
}

// Moves are throttled to one per 8 ms, so each iteration posts a click (a move to the spot plus
// a button event), which is what a move costs without the throttle.
void BM_InjectClickAtPosition(benchmark::State& state) {
  CGEventRemoteInputInjector injector;
  std::int32_t x = 0;
  bool down = false;
  for (auto _ : state) {
    down = !down;
    injector.inject(packet(down ? 2 : 4, x = (x + 7) % 1900, 500));
  }
}
BENCHMARK(BM_InjectClickAtPosition);

void BM_InjectKeyDownUp(benchmark::State& state) {
  CGEventRemoteInputInjector injector;
  for (auto _ : state) {
    injector.inject(packet(5, 0x41, 0));
    injector.inject(packet(6, 0x41, 0));
  }
}
BENCHMARK(BM_InjectKeyDownUp);

void BM_SystemInfoSnapshot(benchmark::State& state) {
  vantrel::MacSystemInfoProvider provider;
  for (auto _ : state) benchmark::DoNotOptimize(provider.sample());
}
BENCHMARK(BM_SystemInfoSnapshot);

void BM_PermissionSnapshot(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vantrel::PermissionStatus::snapshot());
}
BENCHMARK(BM_PermissionSnapshot);

}  // namespace

BENCHMARK_MAIN();

// Cost of one lease per input packet: acquire and end on an open gate, alone and from several
// threads at once, and the updater's snapshot with leases live.
#include <benchmark/benchmark.h>

#include <vector>

#include "Activity/UpdateActivityGate.hpp"

namespace {

using vantrel::UpdateActivityGate;

void BM_AcquireEnd(benchmark::State& state) {
  static auto gate = UpdateActivityGate::create();
  for (auto _ : state) {
    auto lease = gate->acquire(UpdateActivityGate::Kind::remoteInput);
    benchmark::DoNotOptimize(lease);
    lease->end();
  }
}
BENCHMARK(BM_AcquireEnd)->Threads(1)->Threads(4);

void BM_SnapshotWithLeases(benchmark::State& state) {
  auto gate = UpdateActivityGate::create();
  std::vector<std::shared_ptr<UpdateActivityGate::Lease>> leases;
  for (int i = 0; i < state.range(0); ++i) {
    leases.push_back(gate->acquire(UpdateActivityGate::allKinds[static_cast<std::size_t>(i) % 4]));
  }
  for (auto _ : state) benchmark::DoNotOptimize(gate->snapshot());
}
BENCHMARK(BM_SnapshotWithLeases)->Arg(0)->Arg(8)->Arg(64);

}  // namespace

BENCHMARK_MAIN();

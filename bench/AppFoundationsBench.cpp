// The settings store's load and save of the application's real key set, and the main thread's
// share of appending diagnostic lines (the writer thread does the disk work).

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "Model/Connection/ManagerRouteCache.hpp"
#include "Model/Settings/AccountLoginSettings.hpp"
#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"

namespace {

using namespace vantrel;
namespace fs = std::filesystem;

// A private folder for the run; removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

ManagerRouteCache sampleCache() {
  ManagerRouteCache cache{1, "account-1", 42, 1, {}};
  for (int i = 1; i <= 5; ++i) {
    cache.routes.push_back(
        AccountManagerRoute{i, "10.0.0." + std::to_string(i) + ",192.0.2." + std::to_string(i),
                            "manager" + std::to_string(i) + ".example", 65333});
  }
  return cache;
}

// One launch's worth of settings traffic on an open store (see below).
void launchTraffic(UserDefaults& defaults) {
  auto login = AccountLoginSettings::load(defaults, [] { return std::optional<std::string>("bench"); });
  auto direct = DirectConnectionSettings::load(defaults);
  auto cache = ManagerRouteCache::load(defaults);
  direct.host = "10.0.0.1";
  direct.save(defaults);
  cache->save(defaults);
  benchmark::DoNotOptimize(login);
  benchmark::DoNotOptimize(cache);
}

// A settings file that already holds a route cache, as after a first sign-in.
fs::path seededSettingsFile(const ScratchFolder& scratch) {
  auto file = scratch.path() / "local.vantrel.VantrelMac" / "defaults.json";
  JSONFileUserDefaults seed(JSONFileUserDefaults::Options{file, nullptr});
  sampleCache().save(seed);
  return file;
}

// One launch's worth of settings traffic: open the store, load and complete the login settings
// (which writes them back), load the direct connection and the route cache, then save the
// direct connection and the route cache as a sign-in does.
void SettingsStoreLoadAndSave(benchmark::State& state) {
  ScratchFolder scratch;
  const auto file = seededSettingsFile(scratch);
  for (auto _ : state) {
    JSONFileUserDefaults defaults(JSONFileUserDefaults::Options{file, nullptr});
    launchTraffic(defaults);
  }
  state.counters["changes/iteration"] = 3;
}
BENCHMARK(SettingsStoreLoadAndSave)->Unit(benchmark::kMicrosecond);

// The part of the above that the main thread waits for: the file is written by the store's own
// thread, which is waited for outside the timing.
void SettingsStoreMainThreadShare(benchmark::State& state) {
  ScratchFolder scratch;
  const auto file = seededSettingsFile(scratch);
  for (auto _ : state) {
    auto defaults = std::make_unique<JSONFileUserDefaults>(JSONFileUserDefaults::Options{file, nullptr});
    launchTraffic(*defaults);
    state.PauseTiming();
    defaults.reset();  // waits for the writer
    state.ResumeTiming();
  }
}
BENCHMARK(SettingsStoreMainThreadShare)->Unit(benchmark::kMicrosecond);

// The same in memory: the cost of the typed layer and JSON coding without the disk.
void SettingsLoadAndSaveInMemory(benchmark::State& state) {
  InMemoryUserDefaults seed;
  sampleCache().save(seed);
  const auto initial = seed.snapshot();
  for (auto _ : state) {
    InMemoryUserDefaults defaults(initial);
    launchTraffic(defaults);
  }
}
BENCHMARK(SettingsLoadAndSaveInMemory)->Unit(benchmark::kMicrosecond);

// 10,000 lines appended on this thread; only the appends are timed. The writer thread's disk
// work is waited for outside the timing (it must keep up, or lines would be dropped).
void AppendDiagnostic10000Lines(benchmark::State& state) {
  ScratchFolder scratch;
  auto writer = std::make_shared<DiagnosticLogWriter>(scratch.path() / "state" / "VantrelMac.log");
  constexpr int lines = 10'000;
  const std::string text = "Authenticated with manager 10.0.0.1:65333 (comNum 41) after 12 ms";
  std::uint64_t dropped = 0;
  for (auto _ : state) {
    DiagnosticLog log(writer);
    for (int i = 0; i < lines; ++i) log.appendDiagnostic(text);
    state.PauseTiming();
    writer->flush();
    state.ResumeTiming();
  }
  dropped = writer->droppedLines();
  state.counters["per line"] = benchmark::Counter(static_cast<double>(state.iterations()) * lines,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["dropped"] = static_cast<double>(dropped);
}
BENCHMARK(AppendDiagnostic10000Lines)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Throughput of the frame chunker and the stream decoder beside two copies of the same bytes:
// glibc's memcpy and a plain SSE2 loop. glibc picks its copy by size and processor, and on some
// processors its choice for 64 KiB pieces (`rep movsb`) is several times slower than a simple
// vector loop; a ratio against one unstable baseline says little. The program ends with each
// ratio against the faster of the two baselines measured in the same run, and names it.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelFrameStreamDecoder.hpp"

namespace {

using vantrel::Bytes;
using vantrel::ByteView;

constexpr std::size_t payloadSize = 4 * 1024 * 1024;
constexpr std::size_t readSize = 64 * 1024;

Bytes makePayload(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 17);
  return b;
}

// The second baseline: 16-byte SSE2 loads and stores (every x86-64 has them), no library.
void copyLoop(std::uint8_t* target, const std::uint8_t* source, std::size_t n) {
  std::size_t at = 0;
  for (; at + 64 <= n; at += 64) {
    const auto a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + at));
    const auto b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + at + 16));
    const auto c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + at + 32));
    const auto d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + at + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at + 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at + 48), d);
  }
  for (; at < n; ++at) target[at] = source[at];
}

void BM_Memcpy4MiB(benchmark::State& state) {
  const auto source = makePayload(payloadSize);
  Bytes target(payloadSize);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

void BM_MemcpyAllocating4MiB(benchmark::State& state) {
  // The fair twin of encodeAll: a fresh 4 MiB buffer every time.
  const auto source = makePayload(payloadSize);
  for (auto _ : state) {
    Bytes target(source.size());
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

void BM_LoopCopyAllocating4MiB(benchmark::State& state) {
  const auto source = makePayload(payloadSize);
  for (auto _ : state) {
    Bytes target(source.size());
    copyLoop(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

void BM_ChunkerEncodeAll4MiB(benchmark::State& state) {
  const auto payload = makePayload(payloadSize);
  for (auto _ : state) {
    auto wire = vantrel::VantrelFrameChunker::encodeAll(payload, 4, 7, 0);
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

void BM_DecoderStream4MiBIn64KiBReads(benchmark::State& state) {
  const auto wire = vantrel::VantrelFrameChunker::encodeAll(makePayload(payloadSize), 4, 7, 0);
  std::size_t frames = 0;
  for (auto _ : state) {
    vantrel::VantrelFrameStreamDecoder decoder;
    for (std::size_t at = 0; at < wire.size(); at += readSize) {
      const auto n = std::min(readSize, wire.size() - at);
      auto out = decoder.append(ByteView(wire.data() + at, n));
      frames += out.size();
      benchmark::DoNotOptimize(out.data());
    }
  }
  benchmark::DoNotOptimize(frames);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}

void BM_Memcpy4MiBIn64KiBReads(benchmark::State& state) {
  const auto source = makePayload(payloadSize);
  Bytes target(readSize);
  for (auto _ : state) {
    for (std::size_t at = 0; at < source.size(); at += readSize) {
      const auto n = std::min(readSize, source.size() - at);
      std::memcpy(target.data(), source.data() + at, n);
      benchmark::DoNotOptimize(target.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

void BM_LoopCopy4MiBIn64KiBReads(benchmark::State& state) {
  const auto source = makePayload(payloadSize);
  Bytes target(readSize);
  for (auto _ : state) {
    for (std::size_t at = 0; at < source.size(); at += readSize) {
      const auto n = std::min(readSize, source.size() - at);
      copyLoop(target.data(), source.data() + at, n);
      benchmark::DoNotOptimize(target.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payloadSize));
}

// Prints as usual and remembers each benchmark's bytes per second (of the median when repeated).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (found == run.counters.end()) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      rates[run.run_name.function_name] = found->second.value;
    }
  }
  std::map<std::string, double> rates;
};

void printRatio(const RatioReporter& reporter, const char* subject, const char* memcpyName,
                const char* loopName) {
  const auto& rates = reporter.rates;
  if (!rates.count(subject) || !rates.count(memcpyName) || !rates.count(loopName)) return;
  const bool loopFaster = rates.at(loopName) > rates.at(memcpyName);
  const char* baseline = loopFaster ? loopName : memcpyName;
  std::printf("%s: %.2f of %s (the faster baseline; %s %.1f GB/s, %s %.1f GB/s)\n", subject,
              rates.at(subject) / rates.at(baseline), baseline, memcpyName, rates.at(memcpyName) / 1e9,
              loopName, rates.at(loopName) / 1e9);
}

}  // namespace

BENCHMARK(BM_Memcpy4MiB);
BENCHMARK(BM_MemcpyAllocating4MiB);
BENCHMARK(BM_LoopCopyAllocating4MiB);
BENCHMARK(BM_ChunkerEncodeAll4MiB);
BENCHMARK(BM_Memcpy4MiBIn64KiBReads);
BENCHMARK(BM_LoopCopy4MiBIn64KiBReads);
BENCHMARK(BM_DecoderStream4MiBIn64KiBReads);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printRatio(reporter, "BM_ChunkerEncodeAll4MiB", "BM_MemcpyAllocating4MiB", "BM_LoopCopyAllocating4MiB");
  printRatio(reporter, "BM_DecoderStream4MiBIn64KiBReads", "BM_Memcpy4MiBIn64KiBReads",
             "BM_LoopCopy4MiBIn64KiBReads");
  return 0;
}

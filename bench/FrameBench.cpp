// Throughput of the frame chunker and the stream decoder beside a plain memcpy of the same
// bytes, so the ratio can be read from one run.
#include <benchmark/benchmark.h>

#include <cstring>

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

}  // namespace

BENCHMARK(BM_Memcpy4MiB);
BENCHMARK(BM_MemcpyAllocating4MiB);
BENCHMARK(BM_ChunkerEncodeAll4MiB);
BENCHMARK(BM_Memcpy4MiBIn64KiBReads);
BENCHMARK(BM_DecoderStream4MiBIn64KiBReads);
BENCHMARK_MAIN();

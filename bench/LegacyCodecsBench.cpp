// Costs of the manager payload codecs on the sizes they meet: a system-information reply, clipboard
// text at its 4 MiB limit, a large PNG, and a hostile envelope built to make the string scan work
// as hard as it can (a record head every 6 bytes whose string fails near its end).
#include <benchmark/benchmark.h>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyComInfoPayload.hpp"
#include "Protocol/LegacyScreenInfo.hpp"

using namespace vantrel;

static void BM_ComInfoPayload(benchmark::State& state) {
  LegacyComInfoSnapshot snapshot{
      "192.168.10.20", 12, 0, 40, 16, 500'000'000'000LL, 1000, 123456, "12h 3m", 2880, 1800, 200, 3, 0};
  for (auto _ : state) benchmark::DoNotOptimize(LegacyComInfoPayload::makePayload(7, snapshot));
}
BENCHMARK(BM_ComInfoPayload);

static void BM_MakeText4MiB(benchmark::State& state) {
  const std::string text(LegacyClipboardCodec::maximumTextBytes, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::makeText(text, 1));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MakeText4MiB);

static void BM_DecodeText4MiB(benchmark::State& state) {
  const auto envelope =
      LegacyClipboardCodec::makeText(std::string(LegacyClipboardCodec::maximumTextBytes, 'a'), 1);
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::decode(envelope));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_DecodeText4MiB);

static void BM_DecodeImage16MiB(benchmark::State& state) {
  Bytes png(16u << 20, 0x42);
  const Bytes head{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const Bytes end{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  std::copy(head.begin(), head.end(), png.begin());
  std::copy(end.begin(), end.end(), png.end() - 8);
  const auto envelope = LegacyClipboardCodec::makeImagePNG(png, 1);
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::decode(envelope));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_DecodeImage16MiB);

static void BM_DecodeHostileStringScan(benchmark::State& state) {
  // Record heads 06 01 00 00 00 7F back to back, an invalid byte after every 21 of them.
  auto envelope = LegacyClipboardCodec::makeText("", 1);
  envelope.pop_back();
  const std::size_t target = static_cast<std::size_t>(state.range(0));
  while (envelope.size() < target) {
    for (int i = 0; i < 21; ++i) envelope.insert(envelope.end(), {0x06, 0x01, 0x00, 0x00, 0x00, 0x7F});
    envelope.push_back(0xFF);
  }
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::decodeStringDataClass(envelope, 65));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_DecodeHostileStringScan)->Arg(1 << 20)->Arg(8 << 20);

static void BM_DecodeManyTinyRecords(benchmark::State& state) {
  // Empty string records back to back: the readers keep only the last two.
  auto envelope = LegacyClipboardCodec::makeText("", 1);
  envelope.pop_back();
  while (envelope.size() < (8u << 20)) envelope.insert(envelope.end(), {0x06, 0x01, 0x00, 0x00, 0x00, 0x00});
  envelope.push_back(0x0B);
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::decode(envelope));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_DecodeManyTinyRecords);

static void BM_ScreenInfoAnswer(benchmark::State& state) {
  const auto request = LegacyClipboardCodec::makeStringDataClass(21, std::string(280, 'x'), 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        LegacyScreenInfoCodec::makeGetScreenInfoResponse(request, 3, 1728, 1080, 1728, 1080, 200));
  }
}
BENCHMARK(BM_ScreenInfoAnswer);

BENCHMARK_MAIN();

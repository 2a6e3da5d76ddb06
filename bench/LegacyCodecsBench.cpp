// Costs of the manager payload codecs on the sizes they meet: a system-information reply, clipboard
// text at its 4 MiB limit, a large PNG, and hostile envelopes built to make the string scan work
// as hard as it can. The worst one (record heads whose length bytes are themselves UTF-8, so each
// claimed string runs far over the next heads before failing) is also read by a rescan of every
// candidate from scratch, the cost the scan had before it remembered its decoded runs.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "Protocol/LegacyNrbfRecords.hpp"
#include "Support/Text.hpp"

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

// Heads `06 01000000 C2 80 XX` claiming about half the envelope (at most 2 MiB), an FF after each
// claimed length's worth of heads.
static Bytes worstStringScanEnvelope(std::size_t size) {
  auto envelope = LegacyClipboardCodec::makeText("", 1);
  envelope.resize(envelope.size() - 7);
  const auto high = static_cast<std::uint8_t>(std::clamp<std::size_t>((size / 2) >> 14, 1, 0x7F));
  const std::size_t claimed = 0x42 + (std::size_t{high} << 14);
  while (envelope.size() < size) {
    for (std::size_t run = 0; run < claimed && envelope.size() < size; run += 8) {
      envelope.insert(envelope.end(), {0x06, 0x01, 0x00, 0x00, 0x00, 0xC2, 0x80, high});
    }
    envelope.push_back(0xFF);
  }
  return envelope;
}

static void BM_DecodeWorstStringScan(benchmark::State& state) {
  const auto envelope = worstStringScanEnvelope(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(LegacyClipboardCodec::decodeStringDataClass(envelope, 65));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_DecodeWorstStringScan)->Arg(4 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

// Every candidate checked from its own start: quadratic on the input above.
static void BM_RescanWorstStringScan(benchmark::State& state) {
  const auto envelope = worstStringScanEnvelope(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t found = 0;
    for (std::size_t at = 236; at + 6 <= envelope.size(); ++at) {
      if (envelope[at] != 0x06) continue;
      const auto prefix = LegacyNrbf::readLengthPrefix(envelope, at + 5);
      const auto start = at + 5 + (prefix ? prefix->byteCount : 0);
      if (!prefix || prefix->length > envelope.size() - start) continue;
      found += text::isValidUTF8(ByteView(envelope).subspan(start, prefix->length)) ? 1 : 0;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
}
BENCHMARK(BM_RescanWorstStringScan)->Arg(256 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

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

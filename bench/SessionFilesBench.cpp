// The session's file paths on a real temporary folder: receiving a 3 MiB file in 60,000-byte
// frames (temporary file, fsync, rename), reading one for upload, listing a folder of 1,000
// entries as JSON, and a folder of 200,000 entries whose answer would pass the 4 MiB limit: read
// until the limit is reached, and read in full without a limit (the cost before the limit was
// checked while reading). Run one of the latter alone to read its peak memory (`peak_rss_MB`).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Session/IncomingFileReceiver.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "Session/OutgoingFileTransfer.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vantrel;

constexpr std::size_t fileSize = 3 * 1024 * 1024;

fs::path makeTemporaryFolder() {
  std::string pattern = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

// `replace`: the same name every time (the existing file is flushed before it is replaced);
// otherwise a new name every time.
void receiveFile(benchmark::State& state, bool replace) {
  const auto folder = makeTemporaryFolder();
  auto gate = UpdateActivityGate::create();
  IncomingFileReceiver receiver(gate);
  LegacyFileMetadata record;
  record.total = 1;
  record.fileSize = fileSize;
  record.destinationFolder = folder.string();
  const Bytes piece(60'000, 0x5A);
  int counter = 0;
  for (auto _ : state) {
    state.PauseTiming();
    record.filename = replace ? "bench.bin" : "bench-" + std::to_string(counter++) + ".bin";
    const auto encoded = *record.encode();
    state.ResumeTiming();
    receiver.handleFrame(10, encoded);
    for (std::size_t sent = 0; sent < fileSize; sent += piece.size()) {
      const auto count = std::min(piece.size(), fileSize - sent);
      benchmark::DoNotOptimize(receiver.handleFrame(12, ByteView(piece).first(count)));
    }
    benchmark::DoNotOptimize(receiver.handleFrame(15, {}));
    if (!replace) {
      state.PauseTiming();
      fs::remove(folder / record.filename);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileSize));
  fs::remove_all(folder);
}

void BM_ReceiveNewFile3MiB(benchmark::State& state) { receiveFile(state, false); }
BENCHMARK(BM_ReceiveNewFile3MiB)->Unit(benchmark::kMillisecond);

void BM_ReceiveReplacingFile3MiB(benchmark::State& state) { receiveFile(state, true); }
BENCHMARK(BM_ReceiveReplacingFile3MiB)->Unit(benchmark::kMillisecond);

void BM_ReadFileForUpload3MiB(benchmark::State& state) {
  const auto folder = makeTemporaryFolder();
  {
    std::ofstream out(folder / "f", std::ios::binary);
    const std::string block(fileSize, 'x');
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  for (auto _ : state) {
    OutgoingFileReader reader;
    reader.open(folder / "f");
    while (!reader.readChunk().empty()) {
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileSize));
  fs::remove_all(folder);
}
BENCHMARK(BM_ReadFileForUpload3MiB)->Unit(benchmark::kMillisecond);

void BM_ListFolderOf1000(benchmark::State& state) {
  const auto folder = makeTemporaryFolder();
  for (int i = 0; i < 1000; ++i) {
    std::ofstream(folder / ("file " + std::to_string(i) + ".txt")) << i;
  }
  for (auto _ : state) {
    const auto list = MacSingleFileService::list(folder.string());
    benchmark::DoNotOptimize(list.jsonString());
  }
  fs::remove_all(folder);
}
BENCHMARK(BM_ListFolderOf1000)->Unit(benchmark::kMillisecond);

void listHugeFolder(benchmark::State& state, std::size_t limit) {
  const auto folder = makeTemporaryFolder();
  for (int i = 0; i < 200'000; ++i) {
    std::ofstream(folder / ("a file of a large folder, number " + std::to_string(i) + ".txt"));
  }
  std::size_t refused = 0;
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(MacSingleFileService::list(folder.string(), limit));
    } catch (const LegacyClipboardCodecError&) {
      ++refused;
    }
  }
  fs::remove_all(folder);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["refused"] = static_cast<double>(refused);
}

void BM_ListFolderOf200000UpToTheLimit(benchmark::State& state) {
  listHugeFolder(state, LegacyClipboardCodec::maximumTextBytes);
}
BENCHMARK(BM_ListFolderOf200000UpToTheLimit)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ListFolderOf200000InFull(benchmark::State& state) { listHugeFolder(state, SIZE_MAX); }
BENCHMARK(BM_ListFolderOf200000InFull)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

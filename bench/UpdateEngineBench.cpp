// Update engine throughput: Ed25519 verification of a 100 MiB archive mapped from disk, and the
// safe extraction of a 50 MiB archive into a staging folder.

#include <benchmark/benchmark.h>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "Platform/Update/UpdateFrameworkArchive.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vantrel;

fs::path scratch() {
  static const fs::path folder = [] {
    std::string name = (fs::temp_directory_path() / "vantrel-update-bench-XXXXXX").string();
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp");
    return fs::path(name);
  }();
  return folder;
}

std::string noise(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  std::mt19937_64 random(seed);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const auto value = random();
    std::memcpy(out.data() + i, &value, 8);
  }
  return out;
}

void verifyArchive(benchmark::State& state) {
  const auto path = scratch() / "archive-100MiB";
  const std::size_t size = 100u << 20;
  if (!fs::exists(path)) std::ofstream(path, std::ios::binary) << noise(size, 1);
  const auto keys = update_signature::generateKeyPair();
  const auto signature = update_signature::signFile(keys.privateKey, path);
  const int fd = ::open(path.c_str(), O_RDONLY);
  for (auto _ : state) {
    if (!update_signature::verifyDescriptor(keys.publicKey, fd, signature))
      state.SkipWithError("did not verify");
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(verifyArchive)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// 50 MiB of content in 200 files (half compressible text, half noise).
std::string makeArchive() {
  std::string out;
  archive* a = archive_write_new();
  archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_open(
      a, &out, nullptr,
      [](archive*, void* user, const void* data, size_t n) -> la_ssize_t {
        static_cast<std::string*>(user)->append(static_cast<const char*>(data), n);
        return static_cast<la_ssize_t>(n);
      },
      nullptr);
  for (int i = 0; i < 200; ++i) {
    const std::size_t size = (50u << 20) / 200;
    const auto content =
        i % 2 ? noise(size, static_cast<unsigned>(i)) : std::string(size, static_cast<char>('a' + i % 26));
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, ("share/VantrelMac/file" + std::to_string(i)).c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, static_cast<la_int64_t>(content.size()));
    archive_write_header(a, e);
    archive_write_data(a, content.data(), content.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

void extractArchive(benchmark::State& state) {
  const auto path = scratch() / "archive-50MiB.tar.gz";
  if (!fs::exists(path)) std::ofstream(path, std::ios::binary) << makeArchive();
  const int fd = ::open(path.c_str(), O_RDONLY);
  int round = 0;
  for (auto _ : state) {
    const auto staging = scratch() / ("staging" + std::to_string(round++));
    fs::create_directory(staging);
    const int dir = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY);
    ::lseek(fd, 0, SEEK_SET);
    update_archive::extract(fd, dir);
    ::close(dir);
    state.PauseTiming();
    fs::remove_all(staging);
    state.ResumeTiming();
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (50u << 20)));
}
BENCHMARK(extractArchive)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code error;
  fs::remove_all(scratch(), error);
  return 0;
}

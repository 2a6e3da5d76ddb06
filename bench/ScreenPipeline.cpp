// The screen path measured against FFmpeg on the same X display: capture -> convert -> encode at
// 1920x1080 and 30 fps with moving content, and FFmpeg's x11grab + libx264 set like ours (4:2:0,
// one thread, ultrafast/zerolatency, the same bitrate, VBV and keyframe interval, no scene cuts)
// for the same number of frames. Reports CPU time per picture of both and their ratio, the
// capture-to-access-unit latency of ours (p50, p95), our CPU use while the screen stands still
// (from the first picture on, and with the stream's start),
// and the process's resident memory over 100 stream starts and stops.
//
// Runs on DISPLAY, or on a private Xvfb of 1920x1080 when DISPLAY is unset. Both encoders run
// on the cores the bench is given (its own affinity, e.g. from taskset, or --cores); the painter
// (a child process, on the other cores when there are any) and the X server are not counted.
//
//   bench_ScreenPipeline [--frames=N] [--cores=2,3] [--restarts=N] [--still-seconds=N]

#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "Platform/Screen/H264CaptureLoop.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"
#include "support/ScenePainter.hpp"
#include "support/ScreenBenchSupport.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace vantrel::bench;

int frameCount = 300;
int restartCount = 100;
int stillSeconds = 20;
std::vector<int> cores;  // the bench's own affinity unless --cores names others
std::string displayName;
std::string selfPath;
bool benchFailed = false;  // a phase failed: the process ends non-zero

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t spawn(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::string coreList() { return coreListText(cores); }

// --- our pipeline ---

struct PipelineRun {
  double cpuSeconds = 0;
  double wall = 0;
  int frames = 0;
  // From the first picture on: the stream's steady cost without its start.
  double cpuSecondsAfterFirst = 0;
  double wallAfterFirst = 0;
  std::vector<double> latenciesMs;
};

PipelineRun runPipeline(int frames, std::chrono::milliseconds fixedDuration = 0ms) {
  std::mutex mutex;
  std::condition_variable done;
  PipelineRun run;
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(frames) + 16);
  vantrel::H264CaptureSettings settings;
  settings.displayName = displayName;
  settings.targetWidth = 1920;
  settings.targetHeight = 1080;
  settings.showsCursor = true;
  settings.framesPerSecond = 30;
  settings.averageBitrate = 8'000'000;
  settings.keyframeInterval = 60;
  int count = 0;
  const double cpu0 = processCpuSeconds();
  const double wall0 = wallSeconds();
  double cpuFirst = 0;
  double wallFirst = 0;
  auto loop = vantrel::H264CaptureLoop::start(
      settings,
      {[&](vantrel::EncodedPicture, vantrel::CaptureTiming timing, vantrel::HandOffCredit::Ticket) {
         std::lock_guard lock(mutex);
         if (count == 0) {
           cpuFirst = processCpuSeconds();
           wallFirst = wallSeconds();
         }
         latencies.push_back(
             std::chrono::duration<double, std::milli>(timing.encoded - timing.captureStarted).count());
         if (++count >= frames) done.notify_all();
       },
       [&](std::exception_ptr) { done.notify_all(); }});
  {
    std::unique_lock lock(mutex);
    if (fixedDuration > 0ms) {
      done.wait_for(lock, fixedDuration, [] { return false; });
    } else {
      done.wait_for(lock, 120s, [&] { return count >= frames; });
    }
  }
  loop->stop();
  run.cpuSeconds = processCpuSeconds() - cpu0;
  run.wall = wallSeconds() - wall0;
  run.cpuSecondsAfterFirst = processCpuSeconds() - cpuFirst;
  run.wallAfterFirst = wallSeconds() - wallFirst;
  std::lock_guard lock(mutex);
  run.frames = count;
  run.latenciesMs = latencies;
  return run;
}

// --- FFmpeg ---

struct FfmpegRun {
  double cpuSeconds = 0;
  double wall = 0;
  bool ok = false;
};

FfmpegRun runFfmpeg(int frames) {
  std::vector<std::string> args{"taskset",
                                "-c",
                                coreList(),
                                "ffmpeg",
                                "-nostdin",
                                "-loglevel",
                                "error",
                                "-f",
                                "x11grab",
                                "-framerate",
                                "30",
                                "-video_size",
                                "1920x1080",
                                "-i",
                                displayName,
                                "-frames:v",
                                std::to_string(frames),
                                "-c:v",
                                "libx264",
                                "-preset",
                                "ultrafast",
                                "-tune",
                                "zerolatency",
                                "-pix_fmt",
                                "yuv420p",
                                "-threads",
                                "1",
                                "-b:v",
                                "8M",
                                "-maxrate",
                                "8M",
                                "-bufsize",
                                "8M",
                                "-g",
                                "60",
                                "-keyint_min",
                                "1",
                                "-sc_threshold",
                                "0",
                                "-bf",
                                "0"};
  for (const char* a : {"-f", "h264", "-y", "/dev/null"}) args.push_back(a);
  FfmpegRun run;
  const double wall0 = wallSeconds();
  const pid_t pid = spawn(args);
  if (pid <= 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.wall = wallSeconds() - wall0;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

long residentKiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Starts a stream through the screen streamer (as a session does, its units consumed on a pool of
// two threads), waits for a few pictures of moving content and stops it, `count` times; the
// resident memory after the first cycle and after the last, and the largest seen.
struct RestartRun {
  static constexpr int picturesPerCycle = 5;
  int pictures = 0;
  int emptyCycles = 0;  // cycles that saw no picture within 2 s
  int failures = 0;
  double firstMB = 0;
  double lastMB = 0;
  double peakMB = 0;
  std::string everyTenth;  // the resident memory after every tenth cycle
};

RestartRun runRestarts(int count) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> pool;
  for (int i = 0; i < 2; ++i) pool.emplace_back([&io] { io.run(); });
  auto streamer = vantrel::ScreenCaptureKitH264Streamer::create(io.get_executor(), displayName);
  const vantrel::ScreenStreamConfiguration configuration(1920, 1080, 1920, 1080, true, 30, 8'000'000, 60);
  RestartRun run;
  constexpr int picturesPerCycle = RestartRun::picturesPerCycle;
  // The handlers are plain functions called on the capture thread: they count and return.
  std::mutex mutex;
  std::condition_variable arrived;
  int units = 0;
  vantrel::ScreenStreamHandlers handlers{[&](vantrel::EncodedScreenAccessUnit) {
                                           std::lock_guard lock(mutex);
                                           if (++units >= picturesPerCycle) arrived.notify_all();
                                         },
                                         [&](std::string) {
                                           std::lock_guard lock(mutex);
                                           ++run.failures;
                                           arrived.notify_all();
                                         }};
  for (int i = 0; i < count; ++i) {
    {
      std::lock_guard lock(mutex);
      units = 0;
    }
    asio::co_spawn(io, streamer->start(configuration, handlers), asio::use_future).get();
    int seen = 0;
    {
      std::unique_lock lock(mutex);
      arrived.wait_for(lock, 2s, [&] { return units >= picturesPerCycle || run.failures > 0; });
      seen = units;
    }
    asio::co_spawn(io, streamer->stop(), asio::use_future).get();
    run.pictures += seen;
    if (seen == 0) ++run.emptyCycles;
    const double mb = static_cast<double>(residentKiB()) / 1024.0;
    if (i == 0) run.firstMB = mb;
    run.lastMB = mb;
    run.peakMB = std::max(run.peakMB, mb);
    if ((i + 1) % 10 == 0) {
      run.everyTenth += fmt::format("{}{:.1f}", run.everyTenth.empty() ? "" : " ", mb);
    }
  }
  streamer.reset();
  work.reset();
  for (auto& thread : pool) thread.join();
  return run;
}

void BM_ScreenPipelineVersusFfmpeg(benchmark::State& state) {
  for (auto _ : state) {
    Painter painter(selfPath, displayName, cores, PaintMode::full);
    std::this_thread::sleep_for(500ms);  // let the painter map its window
    const auto ours = runPipeline(frameCount);
    const auto ffmpeg = runFfmpeg(frameCount);
    const auto restarts = runRestarts(restartCount);
    painter.stop();
    std::this_thread::sleep_for(300ms);
    const auto still = runPipeline(1 << 30, std::chrono::seconds(stillSeconds));

    const double oursPerFrame = ours.cpuSeconds * 1000 / std::max(1, ours.frames);
    const double ffmpegPerFrame = ffmpeg.cpuSeconds * 1000 / frameCount;
    const double stillPercent = still.cpuSecondsAfterFirst * 100 / std::max(still.wallAfterFirst, 1e-9);
    state.counters["frames"] = ours.frames;
    state.counters["fps_ours"] = ours.frames / std::max(ours.wall, 1e-9);
    state.counters["cpu_ms_per_picture_moving"] = oursPerFrame;
    state.counters["cpu_ms_per_picture_ffmpeg"] = ffmpegPerFrame;
    state.counters["cpu_ratio_vs_ffmpeg"] = oursPerFrame / std::max(ffmpegPerFrame, 1e-9);
    state.counters["latency_ms_p50"] = percentile(ours.latenciesMs, 0.5);
    state.counters["latency_ms_p95"] = percentile(ours.latenciesMs, 0.95);
    state.counters["still_cpu_percent"] = stillPercent;
    state.counters["still_cpu_percent_with_start"] = still.cpuSeconds * 100 / std::max(still.wall, 1e-9);
    state.counters["still_pictures"] = still.frames;
    state.counters["rss_MB_first_start"] = restarts.firstMB;
    state.counters["rss_MB_after_restarts"] = restarts.lastMB;
    state.counters["rss_MB_peak_restarts"] = restarts.peakMB;
    state.counters["restart_pictures"] = restarts.pictures;
    state.counters["restart_cycles_without_picture"] = restarts.emptyCycles;
    // A phase that saw no picture measured nothing: the whole run is void.
    if (!ffmpeg.ok) state.SkipWithError("ffmpeg failed");
    if (ours.frames == 0) state.SkipWithError("the moving phase delivered no picture");
    if (restarts.emptyCycles > 0 || restarts.failures > 0) {
      state.SkipWithError(fmt::format("restart phase: {} of {} cycles delivered no picture, {} failures",
                                      restarts.emptyCycles, restartCount, restarts.failures)
                              .c_str());
    }
    if (still.frames == 0) state.SkipWithError("the still phase delivered no picture");
    benchFailed = benchFailed || state.error_occurred();
    fmt::print(
        stderr,
        "cores {}: ours {} pictures in {:.2f} s, {:.3f} ms CPU/picture; ffmpeg {:.3f} ms CPU/picture; "
        "ratio {:.3f}; latency p50 {:.2f} ms, p95 {:.2f} ms; still {:.3f}% CPU, {} pictures in "
        "{:.1f} s; {} restarts with {} pictures ({} without any); RSS {:.1f} MB after the first start, "
        "{:.1f} MB after {} (peak {:.1f}; every tenth: {})\n",
        coreList(), ours.frames, ours.wall, oursPerFrame, ffmpegPerFrame, oursPerFrame / ffmpegPerFrame,
        percentile(ours.latenciesMs, 0.5), percentile(ours.latenciesMs, 0.95), stillPercent, still.frames,
        still.wall, restartCount, restarts.pictures, restarts.emptyCycles, restarts.firstMB, restarts.lastMB,
        restartCount, restarts.peakMB, restarts.everyTenth);
  }
}
BENCHMARK(BM_ScreenPipelineVersusFfmpeg)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (const auto painted = runPainterIfAsked(argc, argv)) return *painted;
  // The cores this process was given, unless --cores names others.
  cores = givenCores();
  selfPath = ownProgramPath();
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--frames=", 9) == 0) {
      frameCount = std::max(30, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--still-seconds=", 16) == 0) {
      stillSeconds = std::max(1, std::atoi(argv[i] + 16));
    } else if (std::strncmp(argv[i], "--restarts=", 11) == 0) {
      restartCount = std::max(1, std::atoi(argv[i] + 11));
    } else if (std::strncmp(argv[i], "--cores=", 8) == 0) {
      cores = parseCoreList(argv[i] + 8);
    } else {
      rest.push_back(argv[i]);
    }
  }
  const BenchDisplay display("1920x1080");
  displayName = display.name();
  pinTo(cores);
  runBenchmarks(rest);
  return benchFailed ? 1 : 0;
}

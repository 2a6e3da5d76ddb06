// The screen path on a GNOME Wayland session (the compositor's screen cast through PipeWire)
// against the same path on an X server (XShm + XDamage), with the same scene: one X client paints
// it, on a private Xvfb for the X11 run and on the session's Xwayland for the Wayland run, so
// that both capture the very same pixels. Runs alternate between the two, each in a child process
// of its own (the desktop backend is chosen once per process) pinned to the same cores. Each run
// measures, at 1920x1080 and 30 pictures a second:
//   - moving: the scene scrolling full-screen; our CPU per picture, and the display server's
//     (Xvfb, or mutter, with Xwayland apart) per picture, reported apart;
//   - capture to access unit (p50, p95) while moving: our own part of the latency;
//   - latency: a still scene in which a small square changes colour every 150 ms; from the
//     painter's XSync after a change to the access unit of the first picture taken after it
//     (p50, p95);
//   - still: nothing drawn; our CPU while the stream only refreshes.
//
//   bench_ScreenPipelineWayland [--rounds=N] [--frames=N] [--changes=N] [--still-seconds=N]
//                               [--cores=2,3]

#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Screen/H264CaptureLoop.hpp"
#include "support/ScenePainter.hpp"
#include "support/ScreenBenchSupport.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace vantrel::bench;

int rounds = 3;
int frameCount = 300;
int changeCount = 60;
int stillSeconds = 10;
std::vector<int> cores;
std::string selfPath;
bool benchFailed = false;

std::string coreList() { return coreListText(cores); }

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds of process `pid` (user + system), 0 when it cannot be read.
double cpuSecondsOf(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream stat(fmt::format("/proc/{}/stat", pid));
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A child of `parent` whose command name is `name`; -1 when there is none.
pid_t childNamed(pid_t parent, const std::string& name) {
  DIR* proc = opendir("/proc");
  if (!proc) return -1;
  pid_t found = -1;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && text.substr(open + 1, close - open - 1) == name) found = pid;
  }
  closedir(proc);
  return found;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int outFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.empty() ? environ : envp.data()) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// --- one run of the pipeline, in a child process ---

struct Delivered {
  std::mutex mutex;
  std::condition_variable more;
  std::vector<double> encodedAt;  // steady seconds
  std::vector<double> captureToUnitMs;
  double cpuAtFirst = 0;
  double wallAtFirst = 0;
  bool failed = false;
};

std::unique_ptr<vantrel::H264CaptureLoop> startLoop(Delivered& delivered) {
  vantrel::H264CaptureSettings settings;
  settings.targetWidth = 1920;
  settings.targetHeight = 1080;
  settings.showsCursor = true;
  settings.framesPerSecond = 30;
  settings.averageBitrate = 8'000'000;
  settings.keyframeInterval = 60;
  return vantrel::H264CaptureLoop::start(
      settings,
      {[&](vantrel::EncodedPicture, vantrel::CaptureTiming timing, vantrel::HandOffCredit::Ticket) {
         std::lock_guard lock(delivered.mutex);
         if (delivered.encodedAt.empty()) {
           delivered.cpuAtFirst = processCpuSeconds();
           delivered.wallAtFirst = nowSeconds();
         }
         delivered.encodedAt.push_back(
             std::chrono::duration<double>(timing.encoded.time_since_epoch()).count());
         delivered.captureToUnitMs.push_back(
             std::chrono::duration<double, std::milli>(timing.encoded - timing.captureStarted).count());
         delivered.more.notify_all();
       },
       [&](std::exception_ptr) {
         std::lock_guard lock(delivered.mutex);
         delivered.failed = true;
         delivered.more.notify_all();
       }});
}

int runChild(const std::string& painterDisplay, pid_t server, pid_t xwayland) {
  pinTo(cores);
  std::map<std::string, double> result;
  try {
    // Moving.
    {
      Painter painter(selfPath, painterDisplay, cores, PaintMode::full);
      std::this_thread::sleep_for(700ms);
      Delivered delivered;
      auto loop = startLoop(delivered);
      {
        std::unique_lock lock(delivered.mutex);
        delivered.more.wait_for(lock, 120s, [&] { return delivered.failed || !delivered.encodedAt.empty(); });
      }
      const double server0 = cpuSecondsOf(server), xwayland0 = cpuSecondsOf(xwayland);
      std::size_t first = 0;
      double cpu0 = 0, wall0 = 0;
      {
        std::lock_guard lock(delivered.mutex);
        first = delivered.encodedAt.size();
        cpu0 = processCpuSeconds();
        wall0 = nowSeconds();
      }
      {
        std::unique_lock lock(delivered.mutex);
        delivered.more.wait_for(lock, 120s, [&] {
          return delivered.failed ||
                 delivered.encodedAt.size() >= first + static_cast<std::size_t>(frameCount);
        });
      }
      const double cpu1 = processCpuSeconds(), wall1 = nowSeconds();
      const double server1 = cpuSecondsOf(server), xwayland1 = cpuSecondsOf(xwayland);
      std::size_t pictures = 0;
      {
        std::lock_guard lock(delivered.mutex);
        pictures = delivered.encodedAt.size() - first;
        if (delivered.failed) throw std::runtime_error("the stream failed while moving");
      }
      loop->stop();
      const double n = static_cast<double>(std::max<std::size_t>(1, pictures));
      result["pictures"] = static_cast<double>(pictures);
      result["fps"] = static_cast<double>(pictures) / std::max(wall1 - wall0, 1e-9);
      result["cpu_ms_per_picture"] = (cpu1 - cpu0) * 1000 / n;
      {
        std::lock_guard lock(delivered.mutex);
        result["capture_to_unit_ms_p50"] = percentile(delivered.captureToUnitMs, 0.5);
        result["capture_to_unit_ms_p95"] = percentile(delivered.captureToUnitMs, 0.95);
      }
      result["server_ms_per_picture"] = (server1 - server0) * 1000 / n;
      result["server_percent"] = (server1 - server0) * 100 / std::max(wall1 - wall0, 1e-9);
      result["xwayland_ms_per_picture"] = (xwayland1 - xwayland0) * 1000 / n;
    }
    // Change to picture.
    {
      int pipeFds[2];
      if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
      Painter painter(selfPath, painterDisplay, cores, PaintMode::blink, pipeFds[1]);
      close(pipeFds[1]);
      std::this_thread::sleep_for(700ms);
      Delivered delivered;
      auto loop = startLoop(delivered);
      FILE* changes = fdopen(pipeFds[0], "r");
      std::vector<double> changedAt;
      long long ns = 0;
      while (static_cast<int>(changedAt.size()) < changeCount && std::fscanf(changes, "%lld", &ns) == 1) {
        changedAt.push_back(static_cast<double>(ns) / 1e9);
      }
      std::this_thread::sleep_for(300ms);  // the last change's picture
      loop->stop();
      painter.stop();
      std::fclose(changes);
      std::vector<double> latencies;
      std::lock_guard lock(delivered.mutex);
      // The first changes may come before the stream's first picture: skip the first three.
      for (std::size_t i = 3; i < changedAt.size(); ++i) {
        const auto next =
            std::upper_bound(delivered.encodedAt.begin(), delivered.encodedAt.end(), changedAt[i]);
        if (next != delivered.encodedAt.end() && (i + 1 == changedAt.size() || *next < changedAt[i + 1])) {
          latencies.push_back((*next - changedAt[i]) * 1000);
        }
      }
      result["latency_samples"] = static_cast<double>(latencies.size());
      result["latency_ms_p50"] = percentile(latencies, 0.5);
      result["latency_ms_p95"] = percentile(latencies, 0.95);
      if (std::getenv("VANTREL_BENCH_VERBOSE")) {
        std::string all;
        for (const double l : latencies) all += fmt::format(" {:.1f}", l);
        std::fprintf(stderr, "latencies:%s\n", all.c_str());
      }
    }
    // Still.
    {
      Delivered delivered;
      const double server0 = cpuSecondsOf(server);
      const double wall0 = nowSeconds();
      auto loop = startLoop(delivered);
      std::this_thread::sleep_for(std::chrono::seconds(stillSeconds));
      const double cpu1 = processCpuSeconds(), wall1 = nowSeconds();
      loop->stop();
      const double server1 = cpuSecondsOf(server);
      std::lock_guard lock(delivered.mutex);
      result["still_cpu_percent"] =
          (cpu1 - delivered.cpuAtFirst) * 100 / std::max(wall1 - delivered.wallAtFirst, 1e-9);
      result["still_pictures"] = static_cast<double>(delivered.encodedAt.size());
      result["still_server_percent"] = (server1 - server0) * 100 / std::max(wall1 - wall0, 1e-9);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "run failed: %s\n", e.what());
    return 1;
  }
  std::string line = "RESULT";
  for (const auto& [key, value] : result) line += fmt::format(" {}={:.4f}", key, value);
  std::printf("%s\n", line.c_str());
  return 0;
}

// --- the parent: the two desktops, runs alternated ---

std::map<std::string, double> parseResult(const std::string& output) {
  std::map<std::string, double> values;
  const auto at = output.find("RESULT");
  if (at == std::string::npos) return values;
  std::istringstream words(output.substr(at + 6));
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) values[word.substr(0, eq)] = std::stod(word.substr(eq + 1));
  }
  return values;
}

std::map<std::string, double> runChildProcess(const std::vector<std::string>& args,
                                              const std::vector<std::string>& env) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = spawn(args, env, fds[1]);
  close(fds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return parseResult(output);
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& changes,
                                         const std::vector<std::string>& removed) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto name = entry.substr(0, entry.find('='));
    if (changes.count(name) || std::find(removed.begin(), removed.end(), name) != removed.end()) continue;
    env.push_back(entry);
  }
  for (const auto& [name, value] : changes) env.push_back(name + "=" + value);
  return env;
}

struct WaylandSession {
  std::string dir;
  std::map<std::string, std::string> env;
  pid_t mutter = -1;
  WaylandSession() {
    char pattern[] = "/tmp/vantrel-bench-wayland-XXXXXX";
    dir = mkdtemp(pattern);
    const std::string command = std::string(VANTREL_SOURCE_DIR) + "/scripts/wayland-session start " + dir +
                                "/run --xwayland --size 1920x1080 >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the Wayland session did not start");
    std::ifstream file(dir + "/run/env");
    for (std::string line; std::getline(file, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::ifstream pids(dir + "/run/pids");
    pids >> mutter;
  }
  ~WaylandSession() {
    const std::string command =
        std::string(VANTREL_SOURCE_DIR) + "/scripts/wayland-session stop " + dir + "/run; rm -rf " + dir;
    (void)std::system(command.c_str());
  }
};

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

void BM_ScreenPipelineWaylandVersusX11(benchmark::State& state) {
  for (auto _ : state) {
    // The display servers (and everything they start) keep off the measured cores.
    pinTo(coresBut(cores));
    unsetenv("DISPLAY");
    const BenchDisplay xvfb("1920x1080");
    WaylandSession wayland;
    const pid_t xwayland = childNamed(wayland.mutter, "Xwayland");
    std::map<std::string, std::vector<double>> x11Values, waylandValues;
    const std::vector<std::string> common{
        "--frames=" + std::to_string(frameCount), "--changes=" + std::to_string(changeCount),
        "--still-seconds=" + std::to_string(stillSeconds), "--cores=" + coreList()};
    for (int round = 0; round < rounds; ++round) {
      for (const bool onWayland : {false, true}) {
        std::vector<std::string> args{selfPath, "--child", onWayland ? wayland.env["DISPLAY"] : xvfb.name(),
                                      std::to_string(onWayland ? wayland.mutter : xvfb.privateServer()),
                                      std::to_string(onWayland ? xwayland : -1)};
        args.insert(args.end(), common.begin(), common.end());
        std::map<std::string, std::string> changes;
        if (onWayland) {
          changes = wayland.env;
          changes["VANTREL_DESKTOP_BACKEND"] = "wayland";
        } else {
          changes = {{"DISPLAY", xvfb.name()}, {"VANTREL_DESKTOP_BACKEND", "x11"}};
        }
        const auto values = runChildProcess(
            args,
            environmentWith(changes, onWayland ? std::vector<std::string>{}
                                               : std::vector<std::string>{"WAYLAND_DISPLAY", "XAUTHORITY"}));
        if (values.empty()) {
          benchFailed = true;
          fmt::print(stderr, "round {}: the {} run failed\n", round + 1, onWayland ? "Wayland" : "X11");
          continue;
        }
        std::string line;
        for (const auto& [key, value] : values) {
          (onWayland ? waylandValues : x11Values)[key].push_back(value);
          line += fmt::format(" {}={:.3f}", key, value);
        }
        fmt::print(stderr, "round {} {}:{}\n", round + 1, onWayland ? "wayland" : "x11", line);
      }
    }
    for (const auto& key :
         {"cpu_ms_per_picture", "fps", "latency_ms_p50", "latency_ms_p95", "capture_to_unit_ms_p50",
          "capture_to_unit_ms_p95", "still_cpu_percent", "still_pictures", "server_ms_per_picture",
          "server_percent", "xwayland_ms_per_picture", "still_server_percent"}) {
      const double x = median(x11Values[key]), w = median(waylandValues[key]);
      state.counters[std::string("x11_") + key] = x;
      state.counters[std::string("wayland_") + key] = w;
      fmt::print(stderr, "median {:>24}: x11 {:9.3f}  wayland {:9.3f}  ratio {:.3f}\n", key, x, w,
                 x > 0 ? w / x : 0.0);
    }
    if (benchFailed) state.SkipWithError("a run failed");
  }
}
BENCHMARK(BM_ScreenPipelineWaylandVersusX11)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  selfPath = ownProgramPath();
  if (const auto painted = runPainterIfAsked(argc, argv)) return *painted;
  cores = givenCores();
  const bool child = argc >= 5 && std::strcmp(argv[1], "--child") == 0;
  std::vector<char*> rest{argv[0]};
  for (int i = child ? 5 : 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--frames=", 9) == 0) {
      frameCount = std::max(30, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--changes=", 10) == 0) {
      changeCount = std::max(10, std::atoi(argv[i] + 10));
    } else if (std::strncmp(argv[i], "--still-seconds=", 16) == 0) {
      stillSeconds = std::max(1, std::atoi(argv[i] + 16));
    } else if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
      rounds = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::strncmp(argv[i], "--cores=", 8) == 0) {
      cores = parseCoreList(argv[i] + 8);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (child) return runChild(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  runBenchmarks(rest);
  return benchFailed ? 1 : 0;
}

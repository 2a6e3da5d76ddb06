#include "ScreenBenchSupport.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace vantrel::bench {

namespace {

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Starts Xvfb with a screen of `screenSize` on the first free display; the display's name comes
// back through the descriptor Xvfb writes its number to.
pid_t startXvfb(const std::string& screenSize, std::string& displayName) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const int writeEnd = fcntl(fds[1], F_DUPFD, 10);
  close(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{"Xvfb",      "-displayfd", "3",       "-screen", "0", screenSize + "x24",
                                "-nolisten", "tcp",        "-noreset"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(writeEnd);
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  char c = 0;
  while (poll(&pfd, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  close(fds[0]);
  displayName = ":" + number;
  return pid;
}

}  // namespace

double processCpuSeconds() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }

double threadCpuSeconds() { return seconds(CLOCK_THREAD_CPUTIME_ID); }

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

Window mapFullScreenWindow(Display* d) {
  const int screen = DefaultScreen(d);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window window =
      XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
                    static_cast<unsigned>(DisplayHeight(d, screen)), 0, CopyFromParent, InputOutput,
                    CopyFromParent, CWOverrideRedirect, &attributes);
  XMapRaised(d, window);
  return window;
}

Scene paintScene(Display* d, Window window) {
  const int screen = DefaultScreen(d);
  Scene scene;
  scene.width = DisplayWidth(d, screen) * 2;
  scene.height = DisplayHeight(d, screen) * 2;
  const int sw = scene.width, sh = scene.height;
  scene.pixmap = XCreatePixmap(d, window, static_cast<unsigned>(sw), static_cast<unsigned>(sh),
                               static_cast<unsigned>(DefaultDepth(d, screen)));
  scene.gc = XCreateGC(d, scene.pixmap, 0, nullptr);
  XSetForeground(d, scene.gc, 0xF0F0F0);
  XFillRectangle(d, scene.pixmap, scene.gc, 0, 0, static_cast<unsigned>(sw), static_cast<unsigned>(sh));
  unsigned seed = 7;
  const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int i = 0; i < 400; ++i) {
    XSetForeground(d, scene.gc, next() & 0xFFFFFF);
    XFillRectangle(d, scene.pixmap, scene.gc, static_cast<int>(next() % static_cast<unsigned>(sw)),
                   static_cast<int>(next() % static_cast<unsigned>(sh)), 40 + next() % 400,
                   20 + next() % 200);
  }
  XSetForeground(d, scene.gc, 0x202020);
  for (int y = 14; y < sh; y += 18) {
    const std::string line = fmt::format(
        "line {:5} the quick brown fox jumps over the lazy dog 0123456789 "
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz",
        y);
    for (int x = 4; x < sw; x += 900)
      XDrawString(d, scene.pixmap, scene.gc, x, y, line.c_str(), static_cast<int>(line.size()));
  }
  return scene;
}

BenchDisplay::BenchDisplay(const std::string& screenSize) {
  if (const char* env = std::getenv("DISPLAY"); env && *env) {
    name_ = env;
  } else {
    server_ = startXvfb(screenSize, name_);
  }
}

BenchDisplay::~BenchDisplay() {
  if (server_ > 0) {
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
  }
}

void runBenchmarks(std::vector<char*> args) {
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}

}  // namespace vantrel::bench

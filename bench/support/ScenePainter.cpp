#include "ScenePainter.hpp"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ScreenBenchSupport.hpp"

extern char** environ;

namespace vantrel::bench {

namespace {

using namespace std::chrono_literals;

const char* modeName(PaintMode mode) {
  switch (mode) {
    case PaintMode::partial: return "partial";
    case PaintMode::blink: return "blink";
    case PaintMode::full: break;
  }
  return "full";
}

std::optional<PaintMode> modeNamed(const std::string& name) {
  if (name == "full") return PaintMode::full;
  if (name == "partial") return PaintMode::partial;
  if (name == "blink") return PaintMode::blink;
  return std::nullopt;
}

int paint(const std::string& displayName, PaintMode mode) {
  Display* d = XOpenDisplay(displayName.c_str());
  if (!d) return 1;
  const int screen = DefaultScreen(d);
  const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
  const Window window = mapFullScreenWindow(d);
  // Told when another window (the program's status window, mapped later) lies over the scene, so
  // that the scene is raised again: what is captured is the scene, whole.
  XSelectInput(d, window, VisibilityChangeMask);
  // The scene, twice the screen's size, scrolled diagonally.
  const Scene scene = paintScene(d, window);
  const GC gc = XCreateGC(d, window, 0, nullptr);
  const bool partial = mode == PaintMode::partial;
  const int pw = partial ? w / 4 : w;
  const int ph = partial ? h / 4 : h;
  const int px = partial ? (w - pw) / 2 : 0;
  const int py = partial ? (h - ph) / 2 : 0;
  const auto paintStill = [&] {
    XCopyArea(d, scene.pixmap, window, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), 0, 0);
  };
  paintStill();
  XSync(d, False);
  for (long step = 0;; ++step) {
    XEvent event;
    bool covered = false;
    while (XCheckTypedWindowEvent(d, window, VisibilityNotify, &event))
      covered = event.xvisibility.state != VisibilityUnobscured;
    if (covered) {
      XRaiseWindow(d, window);
      paintStill();  // the window keeps no contents of its own where it was covered
    }
    if (mode == PaintMode::blink) {
      std::this_thread::sleep_for(150ms);
      XSetForeground(d, gc, (step % 2) ? 0x2060C0 : 0xC04020);
      XFillRectangle(d, window, gc, w / 2 - 32, h / 2 - 32, 64, 64);
      XSync(d, False);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
      std::printf("%lld\n", static_cast<long long>(ns));
      std::fflush(stdout);
    } else {
      const int x = static_cast<int>((step * 3) % (scene.width - pw));
      const int y = static_cast<int>((step * 2) % (scene.height - ph));
      XCopyArea(d, scene.pixmap, window, gc, x, y, static_cast<unsigned>(pw), static_cast<unsigned>(ph), px,
                py);
      XSync(d, False);
      std::this_thread::sleep_for(16ms);
    }
    if (getppid() == 1) break;  // the bench is gone
  }
  return 0;
}

}  // namespace

std::vector<int> parseCoreList(const std::string& text) {
  std::vector<int> list;
  for (const char* p = text.c_str(); *p;) {
    list.push_back(std::atoi(p));
    while (*p && *p != ',') ++p;
    if (*p == ',') ++p;
  }
  return list;
}

std::string coreListText(const std::vector<int>& cores) {
  std::string list;
  for (const int c : cores) list += (list.empty() ? "" : ",") + std::to_string(c);
  return list;
}

std::vector<int> givenCores() {
  std::vector<int> cores;
  cpu_set_t given;
  CPU_ZERO(&given);
  if (sched_getaffinity(0, sizeof given, &given) == 0) {
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &given)) cores.push_back(c);
    }
  }
  return cores;
}

std::string ownProgramPath() {
  char path[4096] = {};
  const auto n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

void pinTo(const std::vector<int>& cores) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int c : cores) CPU_SET(c, &set);
  if (CPU_COUNT(&set) > 0) sched_setaffinity(0, sizeof set, &set);
}

std::vector<int> coresBut(const std::vector<int>& cores) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const bool known = sched_getaffinity(0, sizeof allowed, &allowed) == 0;
  std::vector<int> rest;
  std::vector<int> restAllowed;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  for (int c = 0; c < online; ++c) {
    if (std::find(cores.begin(), cores.end(), c) != cores.end()) continue;
    rest.push_back(c);
    if (known && CPU_ISSET(c, &allowed)) restAllowed.push_back(c);
  }
  return restAllowed.empty() ? rest : restAllowed;
}

std::optional<int> runPainterIfAsked(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[1], "--paint") != 0) return std::nullopt;
  const auto mode = modeNamed(argc >= 5 ? argv[4] : "full");
  if (!mode) {
    std::fprintf(stderr, "--paint: the mode is full, partial or blink, not %s\n", argv[4]);
    return 2;
  }
  // Off the measured cores, so that painting does not compete with what is measured.
  pinTo(coresBut(parseCoreList(argv[3])));
  return paint(argv[2], *mode);
}

Painter::Painter(const std::string& program, const std::string& display,
                 const std::vector<int>& measuredCores, PaintMode mode, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{program, "--paint", display, coreListText(measuredCores), modeName(mode)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Painter::~Painter() { stop(); }

void Painter::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

}  // namespace vantrel::bench

// What the screen benches share: the X display they measure on (a private Xvfb when none is
// given), the desktop-like scene they paint, the CPU clocks they count with and the run of the
// selected benchmarks.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace vantrel::bench {

// CPU time of this whole process (every thread), in seconds.
double processCpuSeconds();

// CPU time of the calling thread, in seconds.
double threadCpuSeconds();

// The value below which a share `p` (0..1) of `values` lies (the nearest sample); 0 when empty.
double percentile(std::vector<double> values, double p);

// A window over the whole default screen of `display`, mapped on top without a window manager's
// decoration.
Window mapFullScreenWindow(Display* display);

// A pixmap twice the screen's size in each direction with panels in flat colours and lines of
// text drawn on it, the same every time, for the benches to move across the screen.
struct Scene {
  Pixmap pixmap = 0;
  GC gc = nullptr;  // the pixmap's graphics context
  int width = 0;
  int height = 0;
};
Scene paintScene(Display* display, Window window);

// The display a bench measures on: DISPLAY when it is set, else a private Xvfb of `screenSize`
// ("WxH") started here and ended with this object.
class BenchDisplay {
 public:
  explicit BenchDisplay(const std::string& screenSize);
  ~BenchDisplay();
  BenchDisplay(const BenchDisplay&) = delete;
  BenchDisplay& operator=(const BenchDisplay&) = delete;

  const std::string& name() const { return name_; }
  // The private server's process, -1 when the bench runs on DISPLAY.
  pid_t privateServer() const { return server_; }

 private:
  std::string name_;
  pid_t server_ = -1;
};

// Runs the benchmarks that the arguments left to Google Benchmark select (`args` starts with
// the program's name).
void runBenchmarks(std::vector<char*> args);

}  // namespace vantrel::bench

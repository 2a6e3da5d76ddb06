// The painter of the screen benches: the bench program run again as a child process,
//   <program> --paint DISPLAY CORES [MODE]
// that maps a full-screen window on DISPLAY and animates the benches' scene in it, on every core
// but CORES (the measured ones), so that painting costs the measured pipeline nothing. Scripts
// start it the same way (bench/e2e-resources.sh).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantrel::bench {

enum class PaintMode {
  // The scene scrolls diagonally over the whole screen, 60 steps a second.
  full,
  // The scene stands still but for a quarter-width, quarter-height piece in the middle (6 % of
  // the screen) that scrolls like a video playing in a small window.
  partial,
  // The scene stands still and a 64x64 square in the middle changes colour every 150 ms; each
  // change's steady-clock time (ns) is written to standard output once the server has it.
  blink,
};

// A list of core numbers, "2,3" <-> {2, 3}.
std::vector<int> parseCoreList(const std::string& text);
std::string coreListText(const std::vector<int>& cores);

// The cores this process was given (its affinity, e.g. from taskset).
std::vector<int> givenCores();
// This program's own path, to start it again as a painter or a child of the bench.
std::string ownProgramPath();

// Pins the calling thread (and what it starts afterwards) to `cores`; nothing when the list is empty.
void pinTo(const std::vector<int>& cores);
// The cores this process may run on but `cores` (a bench run under taskset keeps what it starts
// within it); every other online core when that leaves none.
std::vector<int> coresBut(const std::vector<int>& cores);

// When `argv` is a painter's command line, paints until the parent goes (or SIGTERM) and returns
// the exit status; nothing otherwise. Call it first thing in main().
std::optional<int> runPainterIfAsked(int argc, char** argv);

// The painter as a child process of `program` (this bench's own path), kept off `measuredCores`;
// its standard output goes to `outputFd` (or nowhere when -1), its standard error nowhere.
// Ended (SIGTERM) and collected by stop() or when the object goes.
class Painter {
 public:
  Painter(const std::string& program, const std::string& display, const std::vector<int>& measuredCores,
          PaintMode mode, int outputFd = -1);
  ~Painter();
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  bool started() const { return pid_ > 0; }
  void stop();

 private:
  pid_t pid_ = -1;
};

}  // namespace vantrel::bench

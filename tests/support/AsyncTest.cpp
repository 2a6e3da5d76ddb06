#include "support/AsyncTest.hpp"

namespace vantrel::testing {

bool runUntil(asio::io_context& io, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + hangGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (io.stopped()) io.restart();
    const auto ran = io.run_one_for(std::chrono::milliseconds(5));
    if (ran == 0 && io.stopped() && !done()) {
      // No work left at all: nothing can make the predicate true any more.
      io.restart();
      if (io.poll() == 0 && !done()) return false;
    }
  }
  return true;
}

void drain(asio::io_context& io) {
  if (io.stopped()) io.restart();
  // Timers made due by a manual clock are noticed when the reactor polls, so poll a few rounds.
  for (int round = 0; round < 8; ++round) {
    std::size_t ran = io.poll();
    if (io.stopped()) io.restart();
    if (ran == 0 && round >= 2) break;
  }
}

void runOnLoop(asio::io_context& io, const std::function<void()>& call) {
  bool done = false;
  asio::post(io, [&] {
    call();
    done = true;
  });
  if (io.stopped()) io.restart();
  while (!done) io.run_one();
}

}  // namespace vantrel::testing

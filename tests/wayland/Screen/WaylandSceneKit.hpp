#pragma once

// What the Wayland screen tests share: the scene client's pattern (tests/support/wayland-client/
// scene.py), the scene on a session of its own, and bounded waits on a capture source.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel::testing {

// The scene's pattern: cells of `sceneCell` pixels, each of its own colour.
inline constexpr int sceneCell = 40;
struct Rgb {
  int r, g, b;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
Rgb sceneColor(int x, int y);
Rgb pixelAt(const BgraImageView& image, int x, int y);

// The pixels of `image` that differ from the pattern (with `fill` painted over it when given),
// counted; `firstDifference` names the first.
struct SceneFill {
  ScreenRect rect;
  Rgb color;
};
long differencesFromScene(const BgraImageView& image, const SceneFill* fill, std::string* firstDifference);

// A private session of `width` x `height` with the scene drawn over all of it.
struct SceneOnSession {
  SceneOnSession(int width, int height)
      : session(PrivateWaylandSession::Options{false, width, height}), scene(width, height) {}
  PrivateWaylandSession session;
  SceneClient scene;
};

// Has the scene draw its first cell again, as it is, at most once a second: a frame of the whole
// screen follows. The compositor drops a frame while the consumer holds every buffer of the
// stream, and sends nothing more while the screen is still: a test that looks at every picture
// closely (or runs slowly under a sanitizer) was seen to keep a frame from the middle of the
// window's map animation. Call it from a collectUntil() predicate.
struct RepaintNow {
  SceneClient& scene;
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  void operator()();
};

// Collects the source's changes until `done` holds, waiting on its descriptor in between; false
// when `limit` passes first. Lets a source's error through.
bool collectUntil(DisplayCaptureSource& source, const std::function<bool(bool changed)>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace vantrel::testing

struct sd_bus;

namespace vantrel::testing {

// A pointer of the compositor's own, moved through a remote-desktop session of its own bus
// connection (which the compositor ends with the connection).
class VirtualPointer {
 public:
  VirtualPointer();
  ~VirtualPointer();
  VirtualPointer(const VirtualPointer&) = delete;
  VirtualPointer& operator=(const VirtualPointer&) = delete;
  // Moves the pointer to (`x`, `y`) of the primary monitor.
  void moveTo(double x, double y);

 private:
  ::sd_bus* bus_ = nullptr;
  std::string session_;
};

}  // namespace vantrel::testing

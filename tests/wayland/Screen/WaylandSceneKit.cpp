#include "WaylandSceneKit.hpp"

#include <poll.h>

#include <fmt/format.h>

#include <cstring>
#include <stdexcept>

namespace vantrel::testing {

Rgb sceneColor(int x, int y) {
  const int cx = x / sceneCell, cy = y / sceneCell;
  return {(cx * 37 + cy * 11) % 256, (cx * 5 + cy * 53) % 256, (cx * 97 + cy * 29 + 64) % 256};
}

Rgb pixelAt(const BgraImageView& image, int x, int y) {
  const std::uint8_t* p = image.data + static_cast<std::ptrdiff_t>(y) * image.stride + x * 4;
  return {p[2], p[1], p[0]};
}

long differencesFromScene(const BgraImageView& image, const SceneFill* fill, std::string* firstDifference) {
  long count = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const bool filled = fill && x >= fill->rect.x && x < fill->rect.x + fill->rect.width &&
                          y >= fill->rect.y && y < fill->rect.y + fill->rect.height;
      const auto expected = filled ? fill->color : sceneColor(x, y);
      const auto seen = pixelAt(image, x, y);
      if (seen == expected) continue;
      if (count++ == 0 && firstDifference) {
        *firstDifference = fmt::format("({}, {}) is {},{},{}, not {},{},{}", x, y, seen.r, seen.g, seen.b,
                                       expected.r, expected.g, expected.b);
      }
    }
  }
  return count;
}

void RepaintNow::operator()() {
  if (std::chrono::steady_clock::now() - last < std::chrono::seconds(1)) return;
  last = std::chrono::steady_clock::now();
  const auto c = sceneColor(0, 0);
  scene.send(fmt::format("fill 0 0 {} {} {} {} {}", sceneCell, sceneCell, c.r, c.g, c.b));
}

bool collectUntil(DisplayCaptureSource& source, const std::function<bool(bool changed)>& done,
                  std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done(source.collectChanges())) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{source.pollFd(), POLLIN, 0};
    (void)::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
  }
}

}  // namespace vantrel::testing

#include <systemd/sd-bus.h>

namespace vantrel::testing {

namespace {

void busCheck(int r, const sd_bus_error& error, const char* what) {
  if (r < 0) {
    throw std::runtime_error(fmt::format("{}: {}", what, error.message ? error.message : std::strerror(-r)));
  }
}

std::string readObjectPath(sd_bus_message* reply) {
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "o", &path) < 0 || !path) throw std::runtime_error("no object path");
  return path;
}

}  // namespace

VirtualPointer::VirtualPointer() {
  // A remote-desktop session alone, without a screen cast of its own: relative motion needs none.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  busCheck(sd_bus_open_user(&bus_), error, "session bus");
  sd_bus_message* reply = nullptr;
  busCheck(sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                              "org.gnome.Mutter.RemoteDesktop", "CreateSession", &error, &reply, ""),
           error, "RemoteDesktop.CreateSession");
  session_ = readObjectPath(reply);
  sd_bus_message_unref(reply);
  busCheck(sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", session_.c_str(),
                              "org.gnome.Mutter.RemoteDesktop.Session", "Start", &error, nullptr, ""),
           error, "RemoteDesktop.Start");
}

VirtualPointer::~VirtualPointer() { sd_bus_flush_close_unref(bus_); }

void VirtualPointer::moveTo(double x, double y) {
  // Into the top left corner first (the pointer stops at the monitor's edges), then on by the
  // point's offset: the place is known whatever the pointer's start.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  for (const auto& [dx, dy] : {std::pair{-100000.0, -100000.0}, std::pair{x, y}}) {
    busCheck(sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", session_.c_str(),
                                "org.gnome.Mutter.RemoteDesktop.Session", "NotifyPointerMotionRelative",
                                &error, nullptr, "dd", dx, dy),
             error, "NotifyPointerMotionRelative");
  }
}

}  // namespace vantrel::testing

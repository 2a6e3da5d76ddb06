#pragma once

// The compositor's screen cast of the primary monitor (org.gnome.Mutter.ScreenCast on the session
// bus) and the PipeWire stream it opens, shared by every capture loop of the process: the first
// reader opens it, the last one to let go ends it. Each reader (MutterScreenCast) keeps its own
// previous picture, changes and cursor; the compositor renders and copies each frame once.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/GnomeWayland/PipeWireScreenStream.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {

class MutterScreenCastSession {
 public:
  // The running cast with this cursor mode, or a new one: reads the primary monitor from the
  // display configuration, records it and connects to its stream by `deadline`. Throws
  // CompositorCaptureError: unavailable (no service or no stream in time), refused (the
  // compositor refused to record), ended (it ended the cast meanwhile).
  static std::shared_ptr<MutterScreenCastSession> acquire(bool showsCursor,
                                                          std::chrono::steady_clock::time_point deadline);
  ~MutterScreenCastSession();
  MutterScreenCastSession(const MutterScreenCastSession&) = delete;
  MutterScreenCastSession& operator=(const MutterScreenCastSession&) = delete;

  // The monitor's place on the desktop (its size is the stream's).
  ScreenRect area() const noexcept { return area_; }
  std::uint32_t node() const noexcept { return node_; }
  const std::string& connector() const noexcept { return connector_; }
  PipeWireScreenStream& stream() noexcept { return *stream_; }
  // The bus connection's descriptor: readable when pump() has something to do.
  int busFd() const noexcept;
  // Handles what has arrived on the bus without waiting, then throws CompositorCaptureError::ended
  // once the compositor has ended the cast (closed the session, left the bus, or its stream failed).
  void pump();
  bool hasEnded();

 private:
  explicit MutterScreenCastSession(bool showsCursor);
  void start(std::chrono::steady_clock::time_point deadline);
  void close() noexcept;
  void end(std::string why);
  static int onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*);
  static int onClosed(sd_bus_message* m, void* data, sd_bus_error*);
  static int onStreamAdded(sd_bus_message* m, void* data, sd_bus_error*);
  sd_bus_message* newCall(const char* path, const char* interface, const char* member);
  sd_bus_message* call(sd_bus_message* m, const char* what, bool refusal);
  std::string readPath(sd_bus_message* reply, const char* what);
  void pumpLocked();

  bool showsCursor_;
  ScreenRect area_;
  std::string connector_;
  std::mutex mutex_;  // the bus connection and `ended_`
  sd_bus* bus_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;
  sd_bus_slot* closedSlot_ = nullptr;
  sd_bus_slot* streamAddedSlot_ = nullptr;
  std::string sessionPath_;
  bool sessionStarted_ = false;
  std::optional<std::uint32_t> nodeAnnounced_;
  std::uint32_t node_ = 0;
  std::optional<std::string> ended_;
  std::unique_ptr<PipeWireScreenStream> stream_;
};

}  // namespace vantrel

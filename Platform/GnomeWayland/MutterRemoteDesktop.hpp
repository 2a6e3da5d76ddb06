#pragma once

// One remote-desktop session with a GNOME Wayland compositor (org.gnome.Mutter.RemoteDesktop on
// the session bus): input injection and the session clipboard, with no dialog and no window.
//
// The session is created on first use: RemoteDesktop.CreateSession, its SessionId, a screen-cast
// session linked to it that records the primary monitor (never consumed: its stream object is
// what absolute pointer motion is measured against), then Start. The compositor drops the first
// key press after Start, so a Shift press and release goes first. When the session closes, the
// compositor leaves the bus or the bus itself goes, the next use makes a new session. close()
// ends it (the compositor shows a running session as remote access to the desktop), and the next
// use makes a new one.
//
// sd-bus connections are not thread-safe: one thread of this object owns the connection and runs
// every call; other threads queue work for it. Input is posted without waiting, in order, and is
// sent only while its caller's moment lasts (MutterSessionInput); a release of what the session
// pressed is always sent. The clipboard is MutterSessionClipboard's.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/GnomeWayland/MutterSessionClipboard.hpp"
#include "Support/Bytes.hpp"
#include "Support/UniqueFd.hpp"

namespace vantrel {

class MutterRemoteDesktop {
 public:
  struct StreamSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const StreamSize&, const StreamSize&) = default;
  };

  using Selection = MutterSelection;
  // Called on the bus thread once an input event's fate is known: true when the compositor took
  // it, false when it was not sent (too late, no session) or refused.
  using InputDone = std::function<void(bool)>;

  // The process-wide session (never destroyed: the compositor ends the session when the process's
  // bus connection goes; close() ends it sooner).
  // It closes its session each time the last manager leaves (DesktopSessionDemand).
  static std::shared_ptr<MutterRemoteDesktop> shared();
  // Closes the process-wide session, if one was ever made (at quit); waits at most `callLimit`.
  static void closeShared();

  // A session of its own (tests); nothing happens until the first call.
  MutterRemoteDesktop();
  // Ends the session and the bus thread.
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // Makes the session if there is none; true when one runs.
  bool ensureStarted();
  // Asks for a session without waiting for it (at most one attempt a second).
  void startInBackground();
  // Sessions started so far by this object.
  std::uint64_t sessionsStarted() const;
  // True while a session runs.
  bool sessionOpen() const;
  // Ends the session (Stop); input still waiting is not sent (the compositor releases what the
  // session held as it stops). The next use makes a new session. Waits at most `callLimit`.
  void close();
  // The same without waiting.
  void closeInBackground();

  // Input, posted without waiting: true when queued, false when refused at once (the queue is
  // full). `done` tells afterwards whether the compositor took it.
  // Pixels of the recorded monitor, clamped to its size.
  bool pointerMotionAbsolute(double x, double y, InputDone done = {});
  // Linux input event codes (BTN_LEFT 0x110, KEY_A 30, …).
  bool pointerButton(std::int32_t evdevButton, bool pressed, InputDone done = {});
  // axis 0 vertical, 1 horizontal; positive steps go down (or right).
  bool pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps, InputDone done = {});
  bool keyboardKeycode(std::uint32_t evdevKey, bool pressed, InputDone done = {});
  // The recorded monitor's size, once a session has run.
  std::optional<StreamSize> streamSize() const;

  // From now on every session takes part in the clipboard (EnableClipboard).
  void enableClipboard();
  Selection selection() const;
  // Starts a read of the clipboard in `mime` from its current owner; the returned descriptor
  // yields the bytes and then end of file. Invalid when there is no session or the owner refused.
  UniqueFd openSelectionRead(const std::string& mime);
  // Offers `content` (MIME type → bytes) as the clipboard; the session answers the transfers
  // later requests ask for. An empty list takes the clipboard with nothing on offer.
  bool setSelection(std::vector<std::pair<std::string, Bytes>> content);

  // How long a caller waits for one call, and for a session to be made.
  static constexpr std::chrono::milliseconds callLimit{1500};
  static constexpr std::chrono::milliseconds startLimit{4000};

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// The compositor's services answer on the session bus: the last answer of a probe that reads each
// service's `Version` property on a thread of its own, at most every two seconds, over one
// connection it keeps. Only the very first question waits for the probe (bounded).
namespace MutterServices {
bool screenCastAnswers();
bool remoteDesktopAnswers();
}  // namespace MutterServices

}  // namespace vantrel

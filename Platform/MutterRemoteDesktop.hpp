#pragma once

// One remote-desktop session with a GNOME Wayland compositor (org.gnome.Mutter.RemoteDesktop on
// the session bus): input injection and the session clipboard, with no dialog and no window.
//
// The session is created on first use: RemoteDesktop.CreateSession, its SessionId, a screen-cast
// session linked to it that records the primary monitor (never consumed: its stream object is
// what absolute pointer motion is measured against), then Start. The compositor drops the first
// key press after Start, so a Shift press and release goes first. When the session closes, the
// compositor leaves the bus or the bus itself goes, the next call makes a new session; calls made
// meanwhile return false after a bounded wait, never hang.
//
// sd-bus connections are not thread-safe: one thread of this object owns the connection and runs
// every call; other threads queue work for it and wait for the answer with a time limit. Work
// whose caller has given up is skipped rather than run late (a key press must not land seconds
// after it was reported as failed).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

  // The clipboard as the session last saw it.
  struct Selection {
    // Moves each time another program takes the clipboard.
    long long generation = 0;
    // True while the clipboard holds what this session offered last.
    bool ownedBySession = false;
    // What the current owner offers (empty when unknown or owned by this session).
    std::vector<std::string> mimeTypes;
  };

  // The process-wide session (never destroyed: the compositor ends the session when the process's
  // bus connection goes).
  static std::shared_ptr<MutterRemoteDesktop> shared();

  // A session of its own (tests); nothing happens until the first call.
  MutterRemoteDesktop();
  // Ends the session and the bus thread.
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // True when the compositor's remote-desktop service is on the session bus right now.
  bool serviceOnBus();
  // Makes the session if there is none; true when one runs.
  bool ensureStarted();
  // Asks for a session without waiting for it (at most one attempt a second).
  void startInBackground();
  // Sessions started so far by this object.
  std::uint64_t sessionsStarted() const;

  // Pixels of the recorded monitor, clamped to its size.
  bool pointerMotionAbsolute(double x, double y);
  // Linux input event codes (BTN_LEFT 0x110, KEY_A 30, …).
  bool pointerButton(std::int32_t evdevButton, bool pressed);
  // axis 0 vertical, 1 horizontal; positive steps go down (or right).
  bool pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);
  bool keyboardKeycode(std::uint32_t evdevKey, bool pressed);
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

// The compositor's services answer on the session bus: each reads the service's `Version`
// property with a short time limit, over a connection of its own.
namespace MutterServices {
bool screenCastAnswers();
bool remoteDesktopAnswers();
}  // namespace MutterServices

}  // namespace vantrel

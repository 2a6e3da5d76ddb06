#pragma once

// The objects of this process's desktop (DesktopBackend::current()) for the ports made outside the
// screen path, and the answers of its permission probe. Callers get a port and never ask which
// desktop stands behind it; the screen source, layout and main display come from
// DisplayCaptureSource.hpp's functions, which this folder implements too.

#include <memory>

#include "Platform/Ports/DisplaySleepAssertion.hpp"
#include "Platform/Ports/InputPosting.hpp"
#include "Platform/Ports/Pasteboard.hpp"

namespace vantrel::DesktopPorts {

// Synthetic input: XTEST on an X server, the compositor's remote-desktop session on GNOME Wayland.
std::shared_ptr<InputPosting> makeInputPosting();

// Holding the display awake: the X screen saver's suspension, or an idle inhibition of the session.
std::shared_ptr<DisplaySleepAssertion> makeDisplaySleepAssertion();

// The compositor's clipboard on a GNOME Wayland desktop; nullptr where the toolkit's clipboard
// serves: an X server, or a Wayland desktop without the compositor's services (Xwayland's).
std::shared_ptr<Pasteboard> makeCompositorPasteboard();

// Whether the screen can be read (on an X server the display opens and hands back pixels; on
// GNOME Wayland the compositor's screen cast answers). False on a Wayland desktop without the
// services: the choice of backend has said why, once.
bool screenCaptureAllowed();

// Whether synthetic input can be posted (XTEST present; the compositor's remote desktop answers).
bool inputPostingAllowed();

// True when this desktop's capture and input need no grant anywhere (GNOME Wayland's compositor
// services serve any client of the user's session bus); false where there is no settings pane to
// open either (an X server).
bool grantsNeedNoSettings();

}  // namespace vantrel::DesktopPorts

#include "Platform/Backend/DesktopPorts.hpp"

#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/GnomeWayland/MutterPasteboard.hpp"
#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/GnomeWayland/MutterRemoteInput.hpp"
#include "Platform/GnomeWayland/SessionInhibitDisplaySleepAssertion.hpp"
#include "Platform/X11/ScreenSaverDisplaySleepAssertion.hpp"
#include "Platform/X11/XDisplayProbe.hpp"
#include "Platform/X11/XTestInput.hpp"

namespace vantrel::DesktopPorts {

std::shared_ptr<InputPosting> makeInputPosting() {
  if (DesktopBackend::isWayland()) return std::make_shared<MutterRemoteInput>();
  return std::make_shared<XTestInput>();
}

std::shared_ptr<DisplaySleepAssertion> makeDisplaySleepAssertion() {
  if (DesktopBackend::isWayland()) return std::make_shared<SessionInhibitDisplaySleepAssertion>();
  return std::make_shared<ScreenSaverDisplaySleepAssertion>();
}

std::shared_ptr<Pasteboard> makeCompositorPasteboard() {
  if (DesktopBackend::current() == DesktopBackendKind::gnomeWayland)
    return std::make_shared<MutterPasteboard>();
  return nullptr;
}

bool screenCaptureAllowed() {
  switch (DesktopBackend::current()) {
    case DesktopBackendKind::gnomeWayland: return MutterServices::screenCastAnswers();
    case DesktopBackendKind::unsupportedWayland: return false;
    case DesktopBackendKind::x11: break;
  }
  return XDisplayProbe::canCaptureScreen();
}

bool inputPostingAllowed() {
  switch (DesktopBackend::current()) {
    case DesktopBackendKind::gnomeWayland: return MutterServices::remoteDesktopAnswers();
    case DesktopBackendKind::unsupportedWayland: return false;
    case DesktopBackendKind::x11: break;
  }
  return XTestInput::probeAvailable();
}

bool grantsNeedNoSettings() { return DesktopBackend::current() == DesktopBackendKind::gnomeWayland; }

}  // namespace vantrel::DesktopPorts

#include "Platform/Backend/DesktopBackend.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel::DesktopBackend {
namespace {

const SystemLog& backendLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "desktop");
  return log;
}

bool equalsIgnoringCase(const char* text, std::string_view expected) {
  if (!text || std::strlen(text) != expected.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

struct Decision {
  DesktopBackendKind kind = DesktopBackendKind::x11;
  std::optional<std::string> unsupported;
};

Decision decide() {
  const char* forced = std::getenv("VANTREL_DESKTOP_BACKEND");
  if (!asksForWayland(forced, std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"))) {
    backendLog().info("VantrelMac desktop backend: X11{}", forced && *forced ? " (forced)" : "");
    return {};
  }
  const bool screenCast = BusCall::userBusHasName(MutterScreenCastService::name);
  const bool remoteDesktop = BusCall::userBusHasName(MutterRemoteDesktopService::name);
  if (screenCast && remoteDesktop) {
    backendLog().info(
        "VantrelMac desktop backend: GNOME Wayland (compositor screen-cast and remote-desktop "
        "services){}",
        forced && *forced ? " (forced)" : "");
    return {DesktopBackendKind::gnomeWayland, std::nullopt};
  }
  Decision decision{
      DesktopBackendKind::unsupportedWayland,
      std::string("This Wayland desktop offers no screen-cast and remote-desktop service the agent "
                  "can use (org.gnome.Mutter.ScreenCast, org.gnome.Mutter.RemoteDesktop); screen "
                  "sharing and remote input are unavailable.")};
  backendLog().error("VantrelMac desktop backend: unsupported Wayland session: {}", *decision.unsupported);
  return decision;
}

const Decision& decision() {
  static const Decision chosen = decide();
  return chosen;
}

}  // namespace

bool asksForWayland(const char* forced, const char* sessionType, const char* waylandDisplay) noexcept {
  if (forced && *forced) return equalsIgnoringCase(forced, "wayland");
  if (sessionType && *sessionType) return equalsIgnoringCase(sessionType, "wayland");
  return waylandDisplay && *waylandDisplay;
}

DesktopBackendKind current() { return decision().kind; }

bool isWayland() { return current() != DesktopBackendKind::x11; }

std::optional<std::string> unsupportedReason() { return decision().unsupported; }

}  // namespace vantrel::DesktopBackend

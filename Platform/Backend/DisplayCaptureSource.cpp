#include "Platform/Ports/DisplayCaptureSource.hpp"

#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"
#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"

namespace vantrel {

namespace {

[[noreturn]] void throwUnsupported() {
  throw CompositorCaptureError::unavailable(
      DesktopBackend::unsupportedReason().value_or("This desktop offers no screen capture."));
}

}  // namespace

std::unique_ptr<DisplayCaptureSource> openDisplayCaptureSource(const DisplayCaptureOptions& options) {
  switch (DesktopBackend::current()) {
    case DesktopBackendKind::x11:
      return std::make_unique<X11DisplayCapture>(
          X11DisplayCapture::Options{options.displayName, options.showsCursor, options.tracksDamage});
    case DesktopBackendKind::gnomeWayland:
      return std::make_unique<MutterScreenCast>(MutterScreenCast::Options{options.showsCursor});
    case DesktopBackendKind::unsupportedWayland: throwUnsupported();
  }
  throwUnsupported();
}

DisplayLayout readDisplayLayout(const std::optional<std::string>& displayName) {
  switch (DesktopBackend::current()) {
    case DesktopBackendKind::x11: return readX11DisplayLayout(displayName);
    case DesktopBackendKind::gnomeWayland:
      return mutterDisplayLayout(mutterDisplays(readMutterDisplayState()));
    case DesktopBackendKind::unsupportedWayland: throwUnsupported();
  }
  throwUnsupported();
}

std::optional<MainDisplayInfo> readMainDisplay() {
  if (DesktopBackend::current() == DesktopBackendKind::x11) return XDisplayProbe::mainDisplay();
  try {
    const auto layout = readDisplayLayout();
    const auto area = layout.mainArea();
    if (!area) return std::nullopt;
    return MainDisplayInfo{{area->x, area->y, area->width, area->height}, layout.scaleRate};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vantrel

#include "Screen/ScreenCaptureKitService.hpp"

#include <algorithm>

#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "Screen/BlockingCall.hpp"

namespace vantrel {

std::optional<std::string> ScreenCaptureServiceError::errorDescription() const {
  switch (case_) {
    case Case::enumerationFailed: return "Failed to enumerate shareable displays: " + text_;
    case Case::screenRecordingDenied: return "Screen Recording permission is not granted.";
  }
  return std::nullopt;
}

std::vector<DisplayInfo> ScreenCaptureKitService::displays(const DisplayLayout& layout) {
  std::vector<DisplayInfo> result;
  if (!layout.hasRandrMonitors) {
    if (layout.root.width > 0 && layout.root.height > 0) {
      result.push_back({0, layout.root.width, layout.root.height, std::string(), true});
    }
    return result;
  }
  const auto primary = std::find_if(layout.monitors.begin(), layout.monitors.end(),
                                    [](const MonitorInfo& m) { return m.isPrimary; });
  for (std::size_t i = 0; i < layout.monitors.size(); ++i) {
    const auto& m = layout.monitors[i];
    // The same display the screen stream captures: the primary monitor, else the first.
    const bool isMain = primary != layout.monitors.end() ? m.isPrimary && &m == &*primary : i == 0;
    result.push_back({m.id, m.bounds.width, m.bounds.height, m.name, isMain});
  }
  std::stable_sort(result.begin(), result.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
    if (a.isMain != b.isMain) return a.isMain;
    return a.id < b.id;
  });
  return result;
}

Awaitable<std::vector<DisplayInfo>> ScreenCaptureKitService::enumerateDisplays() {
  auto name = displayName_;
  const auto enumerate = [name] {
    try {
      return displays(readDisplayLayout(name));
    } catch (const X11CaptureError& error) {
      if (error.kind() == X11CaptureError::Case::accessDenied)
        throw ScreenCaptureServiceError::screenRecordingDenied();
      throw ScreenCaptureServiceError::enumerationFailed(error.detail());
    } catch (const ScreenCaptureServiceError&) {
      throw;
    } catch (const std::exception& error) {
      throw ScreenCaptureServiceError::enumerationFailed(localizedDescription(error));
    }
  };
  co_return co_await screen_detail::runBlockingCall(enumerate);
}

}  // namespace vantrel

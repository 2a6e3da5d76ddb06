#pragma once

// The status window's view of the displays: which there are, and which is the main one.

#include <optional>
#include <string>
#include <vector>

#include "Screen/DisplayInfo.hpp"
#include "Support/Async.hpp"
#include "Support/Error.hpp"

namespace vantrel {

struct DisplayLayout;

class ScreenCaptureServiceError : public Error {
 public:
  enum class Case { enumerationFailed, screenRecordingDenied };

  static ScreenCaptureServiceError enumerationFailed(std::string text) {
    return {Case::enumerationFailed, std::move(text)};
  }
  static ScreenCaptureServiceError screenRecordingDenied() { return {Case::screenRecordingDenied, {}}; }

  Case kind() const noexcept { return case_; }
  // The text of `enumerationFailed`; empty otherwise.
  const std::string& text() const noexcept { return text_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.ScreenCaptureServiceError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const ScreenCaptureServiceError& a, const ScreenCaptureServiceError& b) {
    return a.case_ == b.case_ && a.text_ == b.text_;
  }

 private:
  ScreenCaptureServiceError(Case c, std::string text) : case_(c), text_(std::move(text)) {}
  Case case_;
  std::string text_;
};

class ScreenCaptureProviding {
 public:
  virtual ~ScreenCaptureProviding() = default;
  // The displays, main display first, then by ascending id.
  virtual Awaitable<std::vector<DisplayInfo>> enumerateDisplays() = 0;
};

// Lists the desktop's monitors: the X server's RandR monitors (the whole root window where RandR
// lists none), or on a GNOME Wayland session the compositor's logical monitors. Stateless;
// the query runs on a thread of its own.
class ScreenCaptureKitService final : public ScreenCaptureProviding {
 public:
  ScreenCaptureKitService() = default;
  // `displayName` replaces DISPLAY (tests).
  explicit ScreenCaptureKitService(std::string displayName) : displayName_(std::move(displayName)) {}

  Awaitable<std::vector<DisplayInfo>> enumerateDisplays() override;

  // The display list of a layout, main first, then by ascending id.
  static std::vector<DisplayInfo> displays(const DisplayLayout& layout);

 private:
  std::optional<std::string> displayName_;
};

}  // namespace vantrel

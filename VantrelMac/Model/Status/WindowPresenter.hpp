#pragma once

// The status window's decisions that do not need a toolkit: which presentation is shown, what a
// model change or a user edit sets in motion, the window title, the agent notice's rate limit and
// where the notice and a resized window go.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Model/Status/DelayScheduler.hpp"
#include "Model/Status/LoginScreenPresenter.hpp"
#include "Model/Status/StatusViewPort.hpp"

namespace vantrel {

inline constexpr std::string_view defaultBundleIdentifier = "local.vantrel.VantrelMac";

// "VantrelMac" for the default bundle, "VantrelMac — <id>" for any other.
std::string windowTitle(std::string_view bundleIdentifier);

struct PixelSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

inline constexpr PixelSize loginContentSize{430, 285};
inline constexpr PixelSize panelContentSize{620, 680};
inline constexpr PixelSize agentNoticeSize{350, 92};
inline constexpr int agentNoticeMargin = 18;

// The notice sits in the bottom-right corner of the screen's available area, 18 px from both
// edges (y grows downward).
PixelRect agentNoticeFrame(PixelRect available);

// The frame that gives a window `target` content while keeping the centre of its current frame;
// nullopt when the content is already within 1 px of the target in both dimensions.
std::optional<PixelRect> resizedWindowFrame(PixelRect frame, PixelSize content, PixelSize target);

// `frame` moved the least distance that puts it inside `area` (the screen's work area); a frame
// already inside stays where it is. Along a side where the frame is larger than the area, its
// top-left corner goes to the area's edge: the title bar stays reachable, and as much shows as can.
PixelRect keptInside(PixelRect frame, PixelRect area);

// At most one notice per 10 s; each notice hides after 3.5 s and then clears the controller's
// reference only when no newer notice replaced it.
class AgentNoticeGate {
 public:
  static constexpr std::chrono::milliseconds minimumInterval{10'000};
  static constexpr std::chrono::milliseconds visibleFor{3'500};

  // A new notice's number when one is to be shown now, else nullopt.
  std::optional<std::uint64_t> show(VantrelClock::time_point now);
  // The notice's hide time came: true when it is still the current one (the reference clears).
  bool hideFired(std::uint64_t notice);
  std::optional<std::uint64_t> current() const noexcept { return current_; }

 private:
  std::optional<VantrelClock::time_point> last_;
  std::optional<std::uint64_t> current_;
  std::uint64_t next_ = 1;
};

// What the status window asks of its window controller after a sign-in.
class StatusWindowHost {
 public:
  virtual ~StatusWindowHost() = default;
  virtual void installStatusItemIfNeeded() = 0;
  virtual void orderOutMainWindow() = 0;
  virtual void showAgentNoticeIfNeeded() = 0;
};

// The status window's own state (the two presentation flags) and its reactions.
class StatusWindowPresenter {
 public:
  using ViewUpdate = std::function<void(const StatusViewState&)>;
  static constexpr std::chrono::milliseconds hideDelayAfterSignIn{200};

  StatusWindowPresenter(std::shared_ptr<StatusViewPort> model, StatusWindowHost& host,
                        DelayScheduler& scheduler);
  ~StatusWindowPresenter();
  StatusWindowPresenter(const StatusWindowPresenter&) = delete;
  StatusWindowPresenter& operator=(const StatusWindowPresenter&) = delete;

  // Every view that renders the model registers here; each is called after a model change or a
  // change of the presentation flags, with the state of that moment.
  void addView(ViewUpdate update);
  void refreshViews();

  bool showSettings() const noexcept { return showSettings_; }
  bool showConnectionWindow() const noexcept { return showConnectionWindow_; }

  // Gear, "?", the permission link, "Permissions" and "Connection log".
  void openPanelSheet();
  // The panel's title-bar button (and Escape): "Done" closes the sheet, "Login Screen" returns
  // the window to the login presentation.
  void closePanel(bool isModal);

  // The window came on screen: start the model once and refresh the displays.
  void viewAppeared();

  // User edits. The form fields persist their settings; the password persists nothing.
  void userEditedText(StatusFormField field, const std::string& value);
  void userToggledAutoLogin(bool value);
  LoginScreenPresenter::ReturnAction returnPressed(LoginScreenPresenter::LoginField field);
  void submitLogin();

  StatusViewPort& model() noexcept { return *model_; }

 private:
  void modelChanged();
  void updateLoginPresentation(const StatusViewState& state);
  void setFlags(bool showSettings, bool showConnectionWindow);

  std::shared_ptr<StatusViewPort> model_;
  StatusWindowHost& host_;
  DelayScheduler& scheduler_;
  std::shared_ptr<bool> alive_;
  StatusViewPort::Subscription subscription_;
  std::vector<ViewUpdate> views_;
  bool showSettings_ = false;
  bool showConnectionWindow_ = false;
  bool lastAuthenticated_ = false;
  DirectAuthState lastConnectionState_ = DirectAuthState::idle;
};

}  // namespace vantrel

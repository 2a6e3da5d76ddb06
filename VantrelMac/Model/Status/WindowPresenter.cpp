#include "Model/Status/WindowPresenter.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vantrel {

std::string windowTitle(std::string_view bundleIdentifier) {
  if (bundleIdentifier.empty() || bundleIdentifier == defaultBundleIdentifier) return "VantrelMac";
  return "VantrelMac \u2014 " + std::string(bundleIdentifier);
}

PixelRect agentNoticeFrame(PixelRect available) {
  return PixelRect{available.x + available.width - agentNoticeSize.width - agentNoticeMargin,
                   available.y + available.height - agentNoticeSize.height - agentNoticeMargin,
                   agentNoticeSize.width, agentNoticeSize.height};
}

std::optional<PixelRect> resizedWindowFrame(PixelRect frame, PixelSize content, PixelSize target) {
  if (std::abs(content.width - target.width) <= 1 && std::abs(content.height - target.height) <= 1) {
    return std::nullopt;
  }
  // The decorations around the content keep their size; only the content changes.
  const int width = target.width + (frame.width - content.width);
  const int height = target.height + (frame.height - content.height);
  // The corner moves by half the change, cut towards zero: a change and its reverse then move it
  // by opposite amounts, so that the window returns exactly to where it was. (Halving the sum
  // with the position instead rounds both ways down, and every grow and shrink carries the window
  // a pixel up and left.)
  return PixelRect{frame.x + (frame.width - width) / 2, frame.y + (frame.height - height) / 2, width, height};
}

PixelRect keptInside(PixelRect frame, PixelRect area) {
  if (area.width <= 0 || area.height <= 0) return frame;
  const auto along = [](int start, int length, int areaStart, int areaLength) {
    if (length > areaLength) return areaStart;
    return std::clamp(start, areaStart, areaStart + areaLength - length);
  };
  return PixelRect{along(frame.x, frame.width, area.x, area.width),
                   along(frame.y, frame.height, area.y, area.height), frame.width, frame.height};
}

std::optional<std::uint64_t> AgentNoticeGate::show(VantrelClock::time_point now) {
  if (last_ && now - *last_ < minimumInterval) return std::nullopt;
  last_ = now;
  current_ = next_++;
  return current_;
}

bool AgentNoticeGate::hideFired(std::uint64_t notice) {
  if (current_ != notice) return false;
  current_.reset();
  return true;
}

StatusWindowPresenter::StatusWindowPresenter(std::shared_ptr<StatusViewPort> model, StatusWindowHost& host,
                                             DelayScheduler& scheduler)
    : model_(std::move(model)), host_(host), scheduler_(scheduler), alive_(std::make_shared<bool>(true)) {
  const StatusViewState& initial = model_->state();
  lastAuthenticated_ = initial.isAccountAuthenticated;
  lastConnectionState_ = initial.connectionState;
  subscription_ = model_->subscribe([this] { modelChanged(); });
}

StatusWindowPresenter::~StatusWindowPresenter() {
  *alive_ = false;
  subscription_.reset();
}

void StatusWindowPresenter::addView(ViewUpdate update) {
  views_.push_back(std::move(update));
  views_.back()(model_->state());
}

void StatusWindowPresenter::refreshViews() {
  const StatusViewState& state = model_->state();
  for (const auto& view : views_) view(state);
}

void StatusWindowPresenter::setFlags(bool showSettings, bool showConnectionWindow) {
  if (showSettings == showSettings_ && showConnectionWindow == showConnectionWindow_) return;
  showSettings_ = showSettings;
  showConnectionWindow_ = showConnectionWindow;
  refreshViews();
}

void StatusWindowPresenter::openPanelSheet() { setFlags(true, showConnectionWindow_); }

void StatusWindowPresenter::closePanel(bool isModal) {
  if (isModal) {
    setFlags(false, showConnectionWindow_);
  } else {
    setFlags(showSettings_, false);
  }
}

void StatusWindowPresenter::viewAppeared() {
  model_->start();
  model_->refreshDisplays();
}

void StatusWindowPresenter::userEditedText(StatusFormField field, const std::string& value) {
  model_->setText(field, value);
  switch (field) {
    case StatusFormField::accountID:
    case StatusFormField::requestedClientNumber:
    case StatusFormField::setupName: model_->persistAccountLoginSettings(); break;
    case StatusFormField::managerHost:
    case StatusFormField::managerPort:
    case StatusFormField::userID:
    case StatusFormField::managerSlot: model_->persistConnectionSettings(); break;
    case StatusFormField::accountPassword: break;
  }
}

void StatusWindowPresenter::userToggledAutoLogin(bool value) {
  model_->setRememberAccountID(value);
  model_->persistAccountLoginSettings();
}

LoginScreenPresenter::ReturnAction StatusWindowPresenter::returnPressed(
    LoginScreenPresenter::LoginField field) {
  const auto action = LoginScreenPresenter::returnAction(field);
  if (action == LoginScreenPresenter::ReturnAction::submit) submitLogin();
  return action;
}

void StatusWindowPresenter::submitLogin() {
  if (LoginScreenPresenter::shouldSubmit(model_->state())) model_->loginAndConnect();
}

void StatusWindowPresenter::modelChanged() {
  const StatusViewState& state = model_->state();
  const bool watchedChanged =
      state.isAccountAuthenticated != lastAuthenticated_ || state.connectionState != lastConnectionState_;
  lastAuthenticated_ = state.isAccountAuthenticated;
  lastConnectionState_ = state.connectionState;
  for (const auto& view : views_) view(state);
  if (watchedChanged) updateLoginPresentation(state);
}

void StatusWindowPresenter::updateLoginPresentation(const StatusViewState& state) {
  if (LoginScreenPresenter::presentation(state) != AccountLoginPresentation::accountAuthenticated) return;
  setFlags(false, true);
  // The window hides a moment later, and only if the sign-in still holds by then.
  std::weak_ptr<bool> alive = alive_;
  scheduler_.schedule(hideDelayAfterSignIn, [this, alive] {
    const auto flag = alive.lock();
    if (!flag || !*flag) return;
    if (!model_->state().isAccountAuthenticated) return;
    host_.installStatusItemIfNeeded();
    host_.orderOutMainWindow();
    host_.showAgentNoticeIfNeeded();
  });
}

}  // namespace vantrel

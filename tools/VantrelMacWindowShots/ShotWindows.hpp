#pragma once

// What every scene of the window-shot tool uses: the real window controller over a still model,
// waits for the window system, and pictures of a screen area with the rectangles tests probe.

#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "ShotModel.hpp"
#include "UI/VantrelMacWindowController.hpp"

#include <QRect>
#include <QWidget>

namespace vantrel::shots {

// Lets the window system show and paint what was just changed, for a bounded time.
void settle(QWidget* window);
// Lets the window become the active one, for a bounded time: only there does a control have the
// focus.
void waitUntilActive(QWidget* window);

nlohmann::json rectJson(const QRect& r);
// `child`'s rectangle in `window`'s coordinates.
QRect within(const QWidget* child, const QWidget* window);
// A PNG of the screen `area` named `name`, and beside it a JSON of `probes` plus the area's size.
bool writeArea(const std::filesystem::path& folder, const std::string& name, const QRect& area,
               nlohmann::json probes);
// The same for `window` once it has settled.
bool writeShot(const std::filesystem::path& folder, const std::string& name, QWidget* window,
               nlohmann::json probes);

// The status windows' controller over `model`, with delayed blocks held and the tool's updater.
std::unique_ptr<VantrelMacWindowController> makeController(const std::shared_ptr<ShotModel>& model);

// The login screen in `state` at rest, with no control focused.
bool loginShot(const std::filesystem::path& folder, const std::string& name, StatusViewState state);
// Tabs through the login screen: one picture with nothing focused, then one per Tab.
bool focusShots(const std::filesystem::path& folder);

// One frame half way through each animated resize of the status window (the sign-in grow, the
// shrink back to the login screen with a control focused).
bool resizeShots(const std::filesystem::path& folder);
// Sign-in grows and panel-close shrinks, `count` of each, animated; see ResizeScenes.cpp.
int resizeCycles(int count, int pause);

}  // namespace vantrel::shots

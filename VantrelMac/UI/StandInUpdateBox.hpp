#pragma once

#include <QString>

#include <memory>

#include "ConnectionPanelWidget.hpp"
#include "Model/QuitRouter.hpp"

namespace vantrel {

// The panel's update box until the updater supplies its own: the running version and the check
// button, bound to whatever updater controller the program has.
UpdateBoxFactory standInUpdateBox(std::shared_ptr<UpdaterControlling> updater, QString versionText);

}  // namespace vantrel

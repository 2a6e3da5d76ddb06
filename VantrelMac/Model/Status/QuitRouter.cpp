#include "Model/Status/QuitRouter.hpp"

#include <utility>

#include "Model/Status/DiagnosticLog.hpp"

namespace vantrel {

std::string_view quitSourceName(QuitSource source) noexcept {
  switch (source) {
    case QuitSource::menu: return "menu";
    case QuitSource::shortcut: return "shortcut";
    case QuitSource::signal: return "signal";
    case QuitSource::sessionManager: return "session manager";
  }
  return "";
}

QuitRouter::QuitRouter(std::shared_ptr<UpdaterControlling> updater, std::function<void()> quit,
                       bool sessionAgent)
    : updater_(std::move(updater)), quit_(std::move(quit)), sessionAgent_(sessionAgent) {
  if (updater_ && !sessionAgent_) {
    updater_->setDeferredTerminationHandler([this](bool terminate) {
      if (!waiting_) return;
      waiting_ = false;
      if (terminate && !quitting_) {
        quitting_ = true;
        quit_();
      }
    });
  }
}

TerminateReply QuitRouter::requestQuit(QuitSource source) {
  if (quitting_) return TerminateReply::terminateNow;
  // A request while the updater still owes its answer to an earlier one waits for that answer.
  if (waiting_) return TerminateReply::terminateLater;
  const TerminateReply reply =
      (sessionAgent_ || !updater_) ? TerminateReply::terminateNow : updater_->terminationReply();
  switch (reply) {
    case TerminateReply::terminateNow:
      programLog().info("VantrelMac quitting ({})", quitSourceName(source));
      quitting_ = true;
      quit_();
      break;
    case TerminateReply::terminateLater:
      programLog().info("VantrelMac quit ({}) waits for the update installation", quitSourceName(source));
      waiting_ = true;
      break;
    case TerminateReply::terminateCancel:
      programLog().info("VantrelMac quit ({}) cancelled while an update is installed",
                        quitSourceName(source));
      break;
  }
  return reply;
}

}  // namespace vantrel

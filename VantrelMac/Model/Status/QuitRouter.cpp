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
    updater_->setDeferredTerminationHandler([this](bool terminate) { answered(terminate); });
  }
}

TerminateReply QuitRouter::requestQuit(QuitSource source) {
  if (quitting_) return TerminateReply::terminateNow;
  if (waiting_) {
    programLog().info("VantrelMac quit ({}) waits for the update installation", quitSourceName(source));
    repeated_ = source;
    return TerminateReply::terminateLater;
  }
  TerminateReply reply = TerminateReply::terminateNow;
  if (!sessionAgent_ && updater_) {
    earlyAnswer_.reset();
    asking_ = true;
    reply = updater_->terminationReply();
    asking_ = false;
  }
  const auto early = std::exchange(earlyAnswer_, std::nullopt);
  switch (reply) {
    case TerminateReply::terminateNow:
      programLog().info("VantrelMac quitting ({})", quitSourceName(source));
      quitting_ = true;
      quit_();
      break;
    case TerminateReply::terminateLater:
      programLog().info("VantrelMac quit ({}) waits for the update installation", quitSourceName(source));
      waiting_ = true;
      if (early) {
        answered(*early);
        if (quitting_) return TerminateReply::terminateNow;
        if (!waiting_) return TerminateReply::terminateCancel;
      }
      break;
    case TerminateReply::terminateCancel:
      programLog().info("VantrelMac quit ({}) cancelled while an update is installed",
                        quitSourceName(source));
      break;
  }
  return reply;
}

void QuitRouter::answered(bool terminate) {
  if (asking_) {
    earlyAnswer_ = terminate;
    return;
  }
  if (!waiting_) return;
  waiting_ = false;
  const auto repeated = std::exchange(repeated_, std::nullopt);
  if (terminate) {
    if (!quitting_) {
      quitting_ = true;
      quit_();
    }
    return;
  }
  // The update keeps the program for the request it answered; one made meanwhile is asked anew.
  if (repeated) requestQuit(*repeated);
}

}  // namespace vantrel

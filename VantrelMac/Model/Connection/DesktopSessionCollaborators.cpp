#include "Model/Connection/DesktopSessionCollaborators.hpp"

#include "Activity/UpdateActivityGate.hpp"
#include "Input/CGEventRemoteInputInjector.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"
#include "Session/DirectAuthEventSystemLog.hpp"
#include "Session/MacSystemCommandExecutor.hpp"
#include "Support/Blocking.hpp"
#include "SystemInfo/MacSystemInfoProvider.hpp"

namespace vantrel {

DirectAuthClient::Collaborators makeDesktopSessionCollaborators(
    Executor executor, std::shared_ptr<NetworkTransporting> transport,
    DevelopmentChannelFactory developmentChannel) {
  DirectAuthClient::Collaborators c;
  c.transport = std::move(transport);
  c.systemLog = std::make_shared<OSLogDirectAuthSystemLogger>(
      SystemLog(std::string(OSLogDirectAuthSystemLogger::subsystem),
                std::string(OSLogDirectAuthSystemLogger::category)));
  c.comInfoSnapshotProvider = std::make_shared<MacSystemInfoProvider>();
  c.screenStreamer = ScreenCaptureKitH264Streamer::create(executor);
  c.inputInjector = std::make_shared<CGEventRemoteInputInjector>();
  c.systemCommandExecutor = std::make_shared<MacSystemCommandExecutor>(blockingPoolOf(executor));
  c.developmentChannel = std::move(developmentChannel);
  c.updateActivityGate = UpdateActivityGate::shared();
  return c;
}

}  // namespace vantrel

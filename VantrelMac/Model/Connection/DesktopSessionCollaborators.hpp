#pragma once

// The collaborators every manager session of this desktop gets: the system log mirror, the real
// system information, screen streamer, input injector, restart command and the process-wide
// activity gate. The transport and the development channel are the caller's choice.

#include <memory>

#include "Session/DirectAuthClient.hpp"

namespace vantrel {

DirectAuthClient::Collaborators makeDesktopSessionCollaborators(
    Executor executor, std::shared_ptr<NetworkTransporting> transport,
    DevelopmentChannelFactory developmentChannel);

}  // namespace vantrel

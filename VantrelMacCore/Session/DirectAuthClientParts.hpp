#pragma once

// The collaborators and parts of one `DirectAuthClient`, shared by its source files only.

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Activity/UpdateActivityGate.hpp"
#include "Platform/Ports/DesktopSessionDemand.hpp"
#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "Protocol/VantrelFrameStreamDecoder.hpp"
#include "Session/DirectAuthClient.hpp"
#include "Session/DirectAuthEventSystemLog.hpp"
#include "Session/IncomingFileReceiver.hpp"
#include "Session/MacSystemCommandExecutor.hpp"
#include "Session/ManagerMessageJoiner.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "Session/ReceiverBound.hpp"
#include "Session/SessionInput.hpp"
#include "Session/SessionScreenStream.hpp"
#include "Session/SingleFileRequests.hpp"

namespace vantrel {

// The longest a reply may wait to go out: the manager connection's TCP user time-out, after which
// the kernel would fail an unacknowledged send anyway.
inline constexpr std::chrono::seconds replySendLimit{60};

struct DirectAuthClient::Parts {
  std::shared_ptr<DirectAuthSystemLogging> systemLog;
  std::shared_ptr<LegacyComInfoSnapshotProviding> comInfoSnapshotProvider;
  std::shared_ptr<SystemCommandExecuting> systemCommandExecutor;
  std::shared_ptr<UpdateActivityGate> gate;
  WallClock wallClock;
  std::shared_ptr<DevelopmentChannel> development;
  std::shared_ptr<SessionScreenStream> screen;
  std::unique_ptr<SessionInput> input;
  std::unique_ptr<IncomingFileReceiver> incomingFiles;  // files from the manager, frame by frame

  VantrelFrameStreamDecoder decoder{VantrelFrameStreamDecoder::defaultMaxBufferedBytes};
  std::deque<VantrelFrame> pendingFrames;
  ManagerMessageJoiner joiner;  // basic messages longer than one chunk are joined first
  // Drops a joined message whose chunks stop coming and a file batch whose records stop coming.
  std::optional<TaskSlot> deadlineWatch;

  // The earliest of the joiner's and the file batch's deadlines, if any.
  std::optional<std::chrono::nanoseconds> nextDeadline() const;
  // Starts the watch while there is a deadline and none runs.
  static void watchDeadlines(const std::shared_ptr<DirectAuthClient>& self);
  static Awaitable<void> deadlineWatchBody(std::weak_ptr<DirectAuthClient> weak, TaskTokenPtr token);

  ReceiverBound<EventHandler> eventHandler;
  ReceiverBound<ClipboardHandler> clipboardHandler;
  ReceiverBound<PasteDestinationProvider> pasteDestinationProvider;
  std::vector<std::string> localClipboardFiles;  // "file:" URLs, for SET_CURRENT_FOLDER
  // Held while the session is authenticated: the desktop keeps what managers need open meanwhile.
  DesktopSessionDemand::Hold desktopDemand;
};

}  // namespace vantrel

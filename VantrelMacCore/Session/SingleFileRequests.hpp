#pragma once

// The manager's file-browser requests as the session serves them: GET_SINGLE_FILES (128) asks
// for a folder's listing, SET_SINGLE_CMDS (129) runs a single-file command and answers with the
// folder's fresh listing (or, for command 4, sends files to the manager). Each request holds a
// `fileTransfer` activity lease while it works and reports its outcome as session events; none
// of them throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Activity/UpdateActivityGate.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

struct SingleFileRequestContext {
  std::shared_ptr<UpdateActivityGate> gate;
  // The session's connection number, written into the reply envelopes.
  std::uint16_t comNum = 0;
  // Sends one payload in basic frames under the session's connection number.
  std::function<Awaitable<void>(Bytes payload)> sendHeaderBasicPayload;
  std::function<void(DirectAuthEvent::Kind)> emit;
  // For command 4, which sends files to the manager.
  OutgoingFileUploadContext upload;
};

inline constexpr std::uint32_t getSingleFilesKind = 128;
inline constexpr std::uint32_t setSingleCommandsKind = 129;

// Lists the folder and sends the listing JSON in a Kind-128 string envelope; reports
// `singleFileListSent` (resolved path, item count) or `singleFileListFailed`.
Awaitable<void> sendSingleFileList(std::string requestedPath, SingleFileRequestContext context);

// A GET_SINGLE_FILES envelope: its text is the requested folder.
Awaitable<void> handleGetSingleFiles(Bytes envelope, SingleFileRequestContext context);

// A SET_SINGLE_CMDS envelope: its text is the command JSON.
Awaitable<void> handleSetSingleCommands(Bytes envelope, SingleFileRequestContext context);

// The command JSON of a SET_SINGLE_CMDS envelope whose text has already been read.
Awaitable<void> runSingleFileCommandText(std::string commandText, SingleFileRequestContext context);

}  // namespace vantrel

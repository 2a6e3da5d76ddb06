// The file side of `DirectAuthClient`: files to the manager, folder listings and single-file
// commands. The work itself is done by the file components; this file hands them the session's
// connection number, sends, events and cancellation.

#include "Session/DirectAuthClientParts.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

// Sends for the file components: the session must still exist when a send starts; a session
// that is gone ends the component's work as a cancellation.
Awaitable<void> sendPayloadFor(std::weak_ptr<DirectAuthClient> weak,
                               std::function<Awaitable<void>(DirectAuthClient&)> send) {
  auto self = weak.lock();
  if (!self) throw CancellationError();
  co_await send(*self);
}

}  // namespace

OutgoingFileUploadContext DirectAuthClient::makeUploadContext() {
  OutgoingFileUploadContext context;
  context.gate = parts_->gate;
  const std::uint16_t comNum = activeConnectionNumber_;
  context.comNum = comNum;
  const std::weak_ptr<DirectAuthClient> weak = weak_from_this();
  context.sendPayload = [weak, comNum](Bytes payload, std::uint8_t command) {
    return sendPayloadFor(weak,
                          [payload = std::move(payload), command, comNum](DirectAuthClient& self) mutable {
                            return self.sendPayload(std::move(payload), command, comNum);
                          });
  };
  context.emit = [weak](DirectAuthEvent::Kind kind) {
    if (auto self = weak.lock()) self->emit(std::move(kind));
  };
  // The receive loop runs the upload; disconnecting cancels its token.
  const TaskTokenPtr loopToken = receiveLoopTask_.token();
  context.isCancelled = [weak, loopToken] {
    const auto self = weak.lock();
    return !self || !self->isLive() || (loopToken && loopToken->isCancelled());
  };
  return context;
}

SingleFileRequestContext DirectAuthClient::makeSingleFileContext() {
  SingleFileRequestContext context;
  context.gate = parts_->gate;
  const std::uint16_t comNum = activeConnectionNumber_;
  context.comNum = comNum;
  const std::weak_ptr<DirectAuthClient> weak = weak_from_this();
  context.sendHeaderBasicPayload = [weak, comNum](Bytes payload) {
    return sendFor(weak, std::move(payload), comNum);
  };
  context.emit = [weak](DirectAuthEvent::Kind kind) {
    if (auto self = weak.lock()) self->emit(std::move(kind));
  };
  context.upload = makeUploadContext();
  return context;
}

Awaitable<void> DirectAuthClient::sendFiles(std::vector<std::string> fileURLs, std::string remoteFolder) {
  std::vector<std::filesystem::path> paths;
  paths.reserve(fileURLs.size());
  for (const auto& url : fileURLs) {
    // A URL that names no local file has nothing to send; the walk reports an empty batch.
    if (auto path = localPathFromFileURL(url)) paths.emplace_back(std::move(*path));
  }
  OutgoingFileUploadContext context = makeUploadContext();
  co_await sendOutgoingFiles(std::move(paths), std::move(remoteFolder), std::move(context));
}

}  // namespace vantrel

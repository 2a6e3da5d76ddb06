// The file side of `DirectAuthClient`: files to and from the manager, folder listings and
// single-file commands. The work itself is done by the file components; this file hands them
// the session's connection number, sends, events and cancellation.

#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClient.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "Session/SingleFileRequests.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Sends for the file components: the session must still exist when a send starts; a session
// that is gone ends the component's work as a cancellation.
Awaitable<void> sendPayloadFor(std::weak_ptr<DirectAuthClient> weak,
                               std::function<Awaitable<void>(DirectAuthClient&)> send) {
  auto self = weak.lock();
  if (!self) throw CancellationError();
  co_await send(*self);
}

}  // namespace

std::optional<std::string> localPathFromFileURL(std::string_view url) {
  if (!isFileURL(url)) return std::nullopt;
  std::string_view rest = url.substr(5);
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = rest.substr(0, slash);
    // Only this machine's files can be sent.
    if (!host.empty() && host != "localhost") return std::nullopt;
    rest.remove_prefix(slash);
  }
  // A query or fragment is no part of a file's path.
  if (const auto end = rest.find_first_of("?#"); end != std::string_view::npos) rest = rest.substr(0, end);
  if (rest.empty() || rest.front() != '/') return std::nullopt;
  std::string path;
  path.reserve(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '%') {
      if (i + 2 >= rest.size()) return std::nullopt;
      const int high = hexValue(rest[i + 1]);
      const int low = hexValue(rest[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    path.push_back(c);
  }
  return path;
}

OutgoingFileUploadContext DirectAuthClient::makeUploadContext() {
  OutgoingFileUploadContext context;
  context.gate = updateActivityGate_;
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
  context.gate = updateActivityGate_;
  const std::uint16_t comNum = activeConnectionNumber_;
  context.comNum = comNum;
  const std::weak_ptr<DirectAuthClient> weak = weak_from_this();
  context.sendHeaderBasicPayload = [weak, comNum](Bytes payload) {
    return sendPayloadFor(weak, [payload = std::move(payload), comNum](DirectAuthClient& self) mutable {
      return self.sendHeaderBasicPayload(std::move(payload), comNum);
    });
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

Awaitable<void> DirectAuthClient::handleIncomingFileFrame(VantrelFrame frame) {
  if (!isLive()) co_return;
  auto events = incomingFiles_.handleFrame(frame.header.command, frame.payload);
  for (auto& event : events) emit(std::move(event));
}

void DirectAuthClient::closeIncomingFile() { incomingFiles_.reset(); }

DirectAuthClient::SingleFileListing DirectAuthClient::listSingleFileFolder(const std::string& requestedPath) {
  const auto list = MacSingleFileService::list(requestedPath);
  SingleFileListing listing;
  listing.path = list.path;
  listing.json = list.jsonString();
  listing.itemCount = static_cast<long long>(list.entries.size());
  return listing;
}

Awaitable<void> DirectAuthClient::runSingleFileCommand(std::string commandText) {
  SingleFileRequestContext context = makeSingleFileContext();
  co_await runSingleFileCommandText(std::move(commandText), std::move(context));
}

}  // namespace vantrel

// The file side of `DirectAuthClient`: files to and from the manager, folder listings and
// single-file commands. These are served by a later part of the session; until then each request
// is reported as failed with the event its own failures use, and nothing is sent.

#include "Protocol/VantrelProtocol.hpp"
#include "Session/DirectAuthClient.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

namespace {

class SessionServiceUnavailable : public Error {
 public:
  explicit SessionServiceUnavailable(std::string text) : text_(std::move(text)) {}
  std::optional<std::string> errorDescription() const override { return text_; }

 private:
  std::string text_;
};

}  // namespace

Awaitable<void> DirectAuthClient::sendFiles(std::vector<std::string> fileURLs, std::string remoteFolder) {
  (void)fileURLs;
  (void)remoteFolder;
  emit(K::FileTransferFailed{"Sending files to the manager is not available in this build."});
  co_return;
}

Awaitable<void> DirectAuthClient::handleIncomingFileFrame(VantrelFrame frame) {
  // One report per announced file; its data, end and cancel frames are dropped silently.
  if (frame.header.command == VantrelProtocol::headerFileInfoCommand && isLive()) {
    emit(K::FileTransferFailed{"Receiving files from the manager is not available in this build."});
  }
  co_return;
}

void DirectAuthClient::closeIncomingFile() {}

DirectAuthClient::SingleFileListing DirectAuthClient::listSingleFileFolder(const std::string& requestedPath) {
  (void)requestedPath;
  throw SessionServiceUnavailable("Folder listings are not available in this build.");
}

Awaitable<void> DirectAuthClient::runSingleFileCommand(std::string commandText) {
  (void)commandText;
  emit(K::SingleFileCommandFailed{"Single-file commands are not available in this build."});
  co_return;
}

}  // namespace vantrel

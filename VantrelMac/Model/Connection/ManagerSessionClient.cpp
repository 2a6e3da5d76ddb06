#include "Model/Connection/ManagerSessionClient.hpp"

#include <utility>

namespace vantrel {

ManagerSessionClient::PasteDestinationProvider pasteDestinationProvider(
    std::function<std::string()> destination) {
  return [destination = std::move(destination)]() -> Awaitable<std::string> {
    return [](std::function<std::string()> d) -> Awaitable<std::string> {
      co_return d ? d() : std::string();
    }(destination);
  };
}

DirectAuthManagerSessionClient::DirectAuthManagerSessionClient(std::shared_ptr<DirectAuthClient> client)
    : client_(std::move(client)) {}

Awaitable<void> DirectAuthManagerSessionClient::connectAndAuthenticate(
    DirectAuthConfiguration configuration) {
  return client_->connectAndAuthenticate(std::move(configuration));
}

Awaitable<void> DirectAuthManagerSessionClient::disconnect() { return client_->disconnect(); }

Awaitable<DirectAuthState> DirectAuthManagerSessionClient::currentState() { return client_->currentState(); }

Awaitable<std::optional<DirectAuthError>> DirectAuthManagerSessionClient::currentLastError() {
  return client_->currentLastError();
}

Awaitable<void> DirectAuthManagerSessionClient::setAIAccountContext(
    std::shared_ptr<AIAccountLoginContext> context) {
  return client_->setAIAccountContext(std::move(context));
}

Awaitable<void> DirectAuthManagerSessionClient::setEventHandler(Executor receiver, EventHandler handler) {
  return client_->setEventHandler(std::move(receiver), std::move(handler));
}

Awaitable<void> DirectAuthManagerSessionClient::setClipboardHandler(Executor receiver,
                                                                    ClipboardHandler handler) {
  return client_->setClipboardHandler(std::move(receiver), std::move(handler));
}

Awaitable<void> DirectAuthManagerSessionClient::setPasteDestinationProvider(
    Executor receiver, PasteDestinationProvider provider) {
  return client_->setPasteDestinationProvider(std::move(receiver), std::move(provider));
}

Awaitable<void> DirectAuthManagerSessionClient::sendLocalClipboardText(std::string text) {
  return client_->sendLocalClipboardText(std::move(text));
}

Awaitable<void> DirectAuthManagerSessionClient::sendLocalClipboardImagePNG(Bytes png) {
  return client_->sendLocalClipboardImagePNG(std::move(png));
}

Awaitable<void> DirectAuthManagerSessionClient::notifyLocalClipboardFiles(std::vector<std::string> urls) {
  return client_->notifyLocalClipboardFiles(std::move(urls));
}

Awaitable<void> DirectAuthManagerSessionClient::reportClipboardBridgeFailure(std::string detail) {
  return client_->reportClipboardBridgeFailure(std::move(detail));
}

}  // namespace vantrel

#include "Model/ManagerSessionClient.hpp"

#include <asio/post.hpp>

#include <utility>

namespace vantrel {

namespace {

// Sessions that post their callbacks to a receiver take it with the handler; older ones call the
// handler on their own executor, so the hop is made here.
template <typename Client, typename Handler>
concept TakesReceiver = requires(Client& c, Executor e, Handler h) {
  c.setEventHandler(e, h);
};

template <typename Value>
std::function<void(const Value&)> postingTo(Executor receiver, std::function<void(const Value&)> handler) {
  if (!handler) return {};
  return [receiver = std::move(receiver), handler = std::move(handler)](const Value& value) {
    asio::post(receiver, [handler, value] { handler(value); });
  };
}

template <typename Client>
Awaitable<void> installEventHandler(Client& client, Executor receiver,
                                    ManagerSessionClient::EventHandler handler) {
  if constexpr (TakesReceiver<Client, typename Client::EventHandler>) {
    return client.setEventHandler(std::move(receiver), std::move(handler));
  } else {
    return client.setEventHandler(postingTo<DirectAuthEvent>(std::move(receiver), std::move(handler)));
  }
}

template <typename Client>
Awaitable<void> installClipboardHandler(Client& client, Executor receiver,
                                        ManagerSessionClient::ClipboardHandler handler) {
  if constexpr (TakesReceiver<Client, typename Client::EventHandler>) {
    return client.setClipboardHandler(std::move(receiver), std::move(handler));
  } else {
    return client.setClipboardHandler(
        postingTo<LegacyClipboardValue>(std::move(receiver), std::move(handler)));
  }
}

template <typename Client>
Awaitable<void> installPasteDestinationProvider(Client& client, Executor receiver,
                                                ManagerSessionClient::PasteDestinationProvider provider) {
  if constexpr (TakesReceiver<Client, typename Client::EventHandler>) {
    return client.setPasteDestinationProvider(std::move(receiver), std::move(provider));
  } else {
    if (!provider) return client.setPasteDestinationProvider({});
    return client.setPasteDestinationProvider(
        [receiver = std::move(receiver), provider = std::move(provider)]() {
          return runOn<std::string>(receiver, provider());
        });
  }
}

}  // namespace

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
  return installEventHandler(*client_, std::move(receiver), std::move(handler));
}

Awaitable<void> DirectAuthManagerSessionClient::setClipboardHandler(Executor receiver,
                                                                    ClipboardHandler handler) {
  return installClipboardHandler(*client_, std::move(receiver), std::move(handler));
}

Awaitable<void> DirectAuthManagerSessionClient::setPasteDestinationProvider(
    Executor receiver, PasteDestinationProvider provider) {
  return installPasteDestinationProvider(*client_, std::move(receiver), std::move(provider));
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

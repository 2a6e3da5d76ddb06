#pragma once

// What the status model needs of one manager session, so that the orchestration can run against
// scripted sessions in tests and against `DirectAuthClient` in the application.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "Model/Connection/MacClipboardBridge.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Session/DirectAuthClient.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/DirectAuthTypes.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class ManagerSessionClient : public LocalClipboardSending {
 public:
  using EventHandler = std::function<void(const DirectAuthEvent&)>;
  using ClipboardHandler = std::function<void(const LegacyClipboardValue&)>;
  using PasteDestinationProvider = std::function<Awaitable<std::string>()>;

  virtual ~ManagerSessionClient() = default;

  // Throws `DirectAuthError`; a cancelled caller sees `cancelled`.
  virtual Awaitable<void> connectAndAuthenticate(DirectAuthConfiguration configuration) = 0;
  // Never throws.
  virtual Awaitable<void> disconnect() = 0;
  virtual Awaitable<DirectAuthState> currentState() = 0;
  virtual Awaitable<std::optional<DirectAuthError>> currentLastError() = 0;
  virtual Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) = 0;

  // The handlers run on `receiver`, never on the session's own executor, so that the session
  // never waits for the receiver.
  virtual Awaitable<void> setEventHandler(Executor receiver, EventHandler handler) = 0;
  virtual Awaitable<void> setClipboardHandler(Executor receiver, ClipboardHandler handler) = 0;
  virtual Awaitable<void> setPasteDestinationProvider(Executor receiver,
                                                      PasteDestinationProvider provider) = 0;

  // The clipboard sends of `LocalClipboardSending` go to the manager; without effect unless
  // authenticated.

  // The real session behind this client, when there is one (the clipboard bridge talks to it).
  virtual std::shared_ptr<DirectAuthClient> directClient() const { return nullptr; }
};

// A provider that answers with `destination()` (an empty text without one).
ManagerSessionClient::PasteDestinationProvider pasteDestinationProvider(
    std::function<std::string()> destination);

// A `DirectAuthClient` seen as a `ManagerSessionClient`.
class DirectAuthManagerSessionClient final : public ManagerSessionClient {
 public:
  explicit DirectAuthManagerSessionClient(std::shared_ptr<DirectAuthClient> client);

  Awaitable<void> connectAndAuthenticate(DirectAuthConfiguration configuration) override;
  Awaitable<void> disconnect() override;
  Awaitable<DirectAuthState> currentState() override;
  Awaitable<std::optional<DirectAuthError>> currentLastError() override;
  Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) override;
  Awaitable<void> setEventHandler(Executor receiver, EventHandler handler) override;
  Awaitable<void> setClipboardHandler(Executor receiver, ClipboardHandler handler) override;
  Awaitable<void> setPasteDestinationProvider(Executor receiver, PasteDestinationProvider provider) override;
  Awaitable<void> sendLocalClipboardText(std::string text) override;
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png) override;
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) override;
  Awaitable<void> reportClipboardBridgeFailure(std::string detail) override;
  std::shared_ptr<DirectAuthClient> directClient() const override { return client_; }

 private:
  std::shared_ptr<DirectAuthClient> client_;
};

}  // namespace vantrel

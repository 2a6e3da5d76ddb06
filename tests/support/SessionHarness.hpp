#pragma once

// A manager session with every collaborator replaced by a double, over whatever transport the
// test gives it (a FakeTransport for unit tests, a real DirectTCPTransport for loopback tests).
// Everything runs on one io_context driven by the test thread.

#include <asio/io_context.hpp>

#include <memory>
#include <vector>

#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/MacAIChannelBinding.hpp"
#include "Activity/UpdateActivityGate.hpp"
#include "Session/DirectAuthClient.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeSessionCollaborators.hpp"

namespace vantrel::testing {

// The variant indices of event kinds, for comparing event sequences.
template <typename... Kinds>
std::vector<std::size_t> kindIndices() {
  return {DirectAuthEvent::Kind(Kinds{}).index()...};
}

class SessionHarness {
 public:
  SessionHarness(asio::io_context& io, std::shared_ptr<NetworkTransporting> transport,
                 std::shared_ptr<AISecureSessionController> secure = nullptr,
                 AIChannelConfiguration aiConfiguration = {}, WallClock wallClock = {})
      : io_(io), transport(std::move(transport)) {
    DirectAuthClient::Collaborators c;
    c.transport = this->transport;
    c.systemLog = events;
    c.comInfoSnapshotProvider = comInfo;
    c.screenStreamer = streamer;
    c.inputInjector = injector;
    c.systemCommandExecutor = executor;
    MacAIChannelBindingOptions development;
    development.configuration = std::move(aiConfiguration);
    development.secureSession = std::move(secure);
    c.developmentChannel = makeMacAIChannelFactory(std::move(development));
    c.updateActivityGate = gate;
    c.wallClock = std::move(wallClock);
    client = DirectAuthClient::create(std::move(c));
    run(client->setEventHandler(io_.get_executor(), events->handler()));
    run(client->setClipboardHandler(
        io_.get_executor(), [this](const LegacyClipboardValue& value) { clipboard.push_back(value); }));
  }

  template <typename T>
  T run(Awaitable<T> awaitable) {
    return runAwaitable<T>(io_, io_.get_executor(), std::move(awaitable));
  }

  bool waitFor(const std::function<bool()>& done) { return runUntil(io_, done); }

  static DirectAuthConfiguration config(std::uint16_t port, std::uint16_t comNum = 7,
                                        VantrelClock::duration timeout = std::chrono::seconds(5),
                                        std::string host = "127.0.0.1", std::string userID = "agent") {
    return DirectAuthConfiguration{std::move(host), port, std::move(userID), comNum, timeout};
  }

  DirectAuthState state() { return run(client->currentState()); }
  std::optional<DirectAuthError> lastError() { return run(client->currentLastError()); }

  std::vector<std::size_t> eventKinds() const {
    std::vector<std::size_t> kinds;
    for (const auto& event : events->mirrored()) kinds.push_back(event.kind.index());
    return kinds;
  }
  template <typename Kind>
  std::vector<Kind> eventsOf() const {
    return events->mirroredOf<Kind>();
  }
  template <typename Kind>
  std::size_t countOf() const {
    return eventsOf<Kind>().size();
  }

  asio::io_context& io_;
  std::shared_ptr<NetworkTransporting> transport;
  std::shared_ptr<EventRecorder> events = std::make_shared<EventRecorder>();
  std::shared_ptr<FakeScreenStreamer> streamer = std::make_shared<FakeScreenStreamer>();
  std::shared_ptr<FakeInputInjector> injector = std::make_shared<FakeInputInjector>();
  std::shared_ptr<FakeSystemCommandExecutor> executor = std::make_shared<FakeSystemCommandExecutor>();
  std::shared_ptr<ScriptedComInfoProvider> comInfo = std::make_shared<ScriptedComInfoProvider>();
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  std::shared_ptr<DirectAuthClient> client;
  std::vector<LegacyClipboardValue> clipboard;
};

}  // namespace vantrel::testing

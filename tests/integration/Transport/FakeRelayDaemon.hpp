#pragma once

// An in-process relay daemon on a temporary socket. Each request is answered by a scriptable
// responder; a responder that returns nothing holds the request so the test can answer it later,
// late, or never.

#include <asio/local/stream_protocol.hpp>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Relay/RelayIPC.hpp"
#include "Platform/Relay/RelayIPCMessage.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

class FakeRelayDaemon {
 public:
  using Responder = std::function<std::optional<relayipc::Reply>(const relayipc::Request&)>;

  FakeRelayDaemon(asio::io_context& io, const std::filesystem::path& socketPath) : acceptor_(io) {
    std::filesystem::create_directories(socketPath.parent_path());
    acceptor_.open();
    acceptor_.bind(asio::local::stream_protocol::endpoint(socketPath.string()));
    acceptor_.listen();
    acceptNext();
  }
  ~FakeRelayDaemon() { crash(); }

  // The default answers connect, send and disconnect at once with success and holds receives.
  void setResponder(Responder responder) { responder_ = std::move(responder); }

  static relayipc::Reply ok(const relayipc::Request& request) {
    relayipc::Reply reply;
    reply.operation = request.operation;
    reply.id = request.id;
    return reply;
  }
  static relayipc::Reply failure(const relayipc::Request& request, std::string text) {
    auto reply = ok(request);
    reply.errorText = std::move(text);
    return reply;
  }
  static relayipc::Reply data(const relayipc::Request& request, std::optional<Bytes> bytes,
                              std::optional<std::string> text = std::nullopt) {
    auto reply = ok(request);
    reply.data = std::move(bytes);
    reply.errorText = std::move(text);
    return reply;
  }

  const std::vector<relayipc::Request>& requests() const { return requests_; }
  std::size_t heldCount() const { return held_.size(); }
  const relayipc::Request& held(std::size_t index) const { return held_.at(index).request; }
  // Answers a held request (its id is filled in) and forgets it.
  void answerHeld(std::size_t index, relayipc::Reply reply) {
    auto call = held_.at(index);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
    reply.id = call.request.id;
    if (auto channel = call.channel.lock()) channel->write(*relayipc::encode(reply));
  }
  // Writes raw bytes to every client (to break the protocol).
  void writeRaw(const Bytes& bytes) {
    for (auto& client : clients_) client->write(bytes);
  }

  int acceptedCount() const { return accepted_; }
  int openClientCount() const {
    int open = 0;
    for (const auto& client : clients_) open += client->isClosed() ? 0 : 1;
    return open;
  }

  // Drops every client connection, as a daemon that crashed would, and stops listening.
  void crash() {
    std::error_code ignored;
    acceptor_.close(ignored);
    for (auto& client : clients_) client->close();
    held_.clear();
  }

 private:
  struct Held {
    relayipc::Request request;
    std::weak_ptr<RelayIPCChannel> channel;
  };

  void acceptNext() {
    acceptor_.async_accept([this](std::error_code ec, asio::local::stream_protocol::socket socket) {
      if (ec) return;
      ++accepted_;
      auto channel = std::make_shared<RelayIPCChannel>(std::move(socket));
      clients_.push_back(channel);
      std::weak_ptr<RelayIPCChannel> weak = channel;
      channel->start([this, weak](Bytes body) { handle(weak, body); }, [] {});
      acceptNext();
    });
  }

  void handle(const std::weak_ptr<RelayIPCChannel>& weak, const Bytes& body) {
    auto request = relayipc::decodeRequest(body);
    if (!request) {
      if (auto channel = weak.lock()) channel->close();
      return;
    }
    requests_.push_back(*request);
    std::optional<relayipc::Reply> reply;
    if (responder_) {
      reply = responder_(*request);
    } else if (request->operation != relayipc::Operation::receive) {
      reply = ok(*request);
    }
    if (!reply) {
      held_.push_back(Held{*request, weak});
      return;
    }
    if (auto channel = weak.lock()) channel->write(*relayipc::encode(*reply));
  }

  asio::local::stream_protocol::acceptor acceptor_;
  std::vector<std::shared_ptr<RelayIPCChannel>> clients_;
  std::vector<Held> held_;
  std::vector<relayipc::Request> requests_;
  Responder responder_;
  int accepted_ = 0;
};

}  // namespace vantrel::testing

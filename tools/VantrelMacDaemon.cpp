// A stand-in for the privileged relay daemon: listens on the relay socket, admits only clients
// that satisfy the client requirement, and relays each client to its own TCP connection to a
// manager (docs/relay-socket-protocol.md).
//
//   VantrelMacDaemon [--socket PATH] [--client-identity EXECUTABLE=IDENTIFIER]...
//                    [--connect-timeout SECONDS]
//
// Without --socket it listens at the path derived from the relay's service name (under
// $VANTREL_SYSTEM_ROOT). --client-identity names a program outside the installation folder as
// one of the product's programs (tests and demos run the agent from a build tree).

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/signal_set.hpp>
#include <asio/write.hpp>

#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <iostream>
#include <map>

#include "Platform/Relay/RelayIPC.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "Transport/DaemonRelayXPC.hpp"
#include "Transport/DirectTCPTransport.hpp"
#include "Transport/XPCPeerPolicy.hpp"

namespace vantrel {
namespace {

using relayipc::Operation;
using relayipc::Reply;
using relayipc::Request;

const SystemLog& daemonLog() {
  static const SystemLog log("local.vantrel.VantrelMacDaemon", "relay");
  return log;
}

// One admitted client and its connection to a manager.
class RelaySession : public std::enable_shared_from_this<RelaySession> {
 public:
  RelaySession(asio::local::stream_protocol::socket socket, std::chrono::seconds connectTimeout)
      : executor_(socket.get_executor()),
        channel_(std::make_shared<RelayIPCChannel>(std::move(socket))),
        connectTimeout_(connectTimeout),
        readBuffer_(65536) {}

  // Ends the client's relay (as if it had disconnected), which releases the session.
  void shutdown() {
    if (channel_) channel_->close();
  }
  const asio::any_io_executor& executor() const { return executor_; }

  void start() {
    // The channel's callbacks keep the session alive until the client's connection closes; the
    // channel drops them then.
    auto self = shared_from_this();
    channel_->start([self](Bytes body) { self->handle(std::move(body)); }, [self] { self->closeManager(); });
  }

 private:
  enum class State { idle, connecting, connected };

  void reply(Reply answer) {
    if (!channel_) return;
    if (auto message = relayipc::encode(answer)) {
      channel_->write(std::move(*message));
    } else {
      channel_->close();
    }
  }

  void replyError(Operation operation, std::uint32_t id, std::string text) {
    Reply answer;
    answer.operation = operation;
    answer.id = id;
    answer.errorText = std::move(text);
    reply(std::move(answer));
  }

  void handle(Bytes body) {
    auto request = relayipc::decodeRequest(body);
    if (!request) {
      daemonLog().error("relay client broke the protocol; closing it");
      channel_->close();
      return;
    }
    switch (request->operation) {
      case Operation::connect: return connectManager(std::move(*request));
      case Operation::send: return sendToManager(std::move(*request));
      case Operation::receive: return receiveFromManager(request->id);
      case Operation::disconnect: {
        closeManager();
        Reply answer;
        answer.operation = Operation::disconnect;
        answer.id = request->id;
        reply(std::move(answer));
        return;
      }
    }
  }

  void connectManager(Request request) {
    if (state_ != State::idle) return replyError(Operation::connect, request.id, "already_connected");
    if (request.port < 1 || request.port > 65535) {
      return replyError(Operation::connect, request.id, "invalid_port");
    }
    state_ = State::connecting;
    const auto generation = ++generation_;
    manager_.emplace(executor_);
    resolver_.emplace(executor_);
    timer_.emplace(executor_, connectTimeout_);
    auto self = shared_from_this();
    timer_->async_wait([self, generation](std::error_code ec) {
      if (ec || generation != self->generation_ || self->state_ != State::connecting) return;
      self->timedOut_ = true;
      std::error_code ignored;
      self->resolver_->cancel();
      self->manager_->close(ignored);
    });
    timedOut_ = false;
    const auto id = request.id;
    resolver_->async_resolve(
        request.host, std::to_string(request.port), asio::ip::tcp::resolver::numeric_service,
        [self, id, generation](std::error_code ec, asio::ip::tcp::resolver::results_type results) {
          if (generation != self->generation_)
            return self->replyError(Operation::connect, id, "disconnected");
          if (ec) return self->connectFailed(id, ec);
          asio::async_connect(*self->manager_, results,
                              [self, id, generation](std::error_code ec, const asio::ip::tcp::endpoint&) {
                                if (generation != self->generation_) {
                                  return self->replyError(Operation::connect, id, "disconnected");
                                }
                                if (ec) return self->connectFailed(id, ec);
                                self->timer_->cancel();
                                std::error_code ignored;
                                self->manager_->set_option(asio::ip::tcp::no_delay(true), ignored);
                                // The kernel ends a manager connection that has died or stopped
                                // reading, as it does for the agent's direct connections.
                                try {
                                  superviseTCPLink(*self->manager_, TCPLinkSupervision{});
                                } catch (const std::exception& e) {
                                  std::cerr << "VantrelMacDaemon: " << e.what() << '\n';
                                }
                                self->state_ = State::connected;
                                Reply answer;
                                answer.operation = Operation::connect;
                                answer.id = id;
                                self->reply(std::move(answer));
                              });
        });
  }

  void connectFailed(std::uint32_t id, std::error_code ec) {
    timer_->cancel();
    state_ = State::idle;
    replyError(Operation::connect, id, timedOut_ ? "connect_timed_out" : ec.message());
  }

  void sendToManager(Request request) {
    if (state_ != State::connected) return replyError(Operation::send, request.id, "not_connected");
    writes_.emplace_back(request.id, std::move(request.data));
    pumpWrites();
  }

  void pumpWrites() {
    if (writing_ || writes_.empty() || state_ != State::connected) return;
    writing_ = true;
    auto self = shared_from_this();
    const auto generation = generation_;
    asio::async_write(*manager_, asio::buffer(writes_.front().second),
                      [self, generation](std::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (generation != self->generation_) return;
                        const auto id = self->writes_.front().first;
                        self->writes_.pop_front();
                        if (ec) {
                          self->replyError(Operation::send, id, ec.message());
                        } else {
                          Reply answer;
                          answer.operation = Operation::send;
                          answer.id = id;
                          self->reply(std::move(answer));
                        }
                        self->pumpWrites();
                      });
  }

  void receiveFromManager(std::uint32_t id) {
    if (state_ != State::connected) return replyError(Operation::receive, id, "not_connected");
    receives_.push_back(id);
    pumpReads();
  }

  void pumpReads() {
    if (reading_ || receives_.empty() || state_ != State::connected) return;
    reading_ = true;
    auto self = shared_from_this();
    const auto generation = generation_;
    manager_->async_read_some(
        asio::buffer(readBuffer_), [self, generation](std::error_code ec, std::size_t count) {
          self->reading_ = false;
          if (generation != self->generation_ || self->receives_.empty()) return;
          Reply answer;
          answer.operation = Operation::receive;
          answer.id = self->receives_.front();
          self->receives_.pop_front();
          if (count > 0) {
            answer.data = Bytes(self->readBuffer_.begin(),
                                self->readBuffer_.begin() + static_cast<std::ptrdiff_t>(count));
          } else if (ec && ec != asio::error::eof) {
            answer.errorText = ec.message();
          }  // else: end of stream, neither data nor error
          self->reply(std::move(answer));
          self->pumpReads();
        });
  }

  // Closes the manager connection; receives still waiting are answered with end of stream and
  // queued sends with an error, so no request goes unanswered.
  void closeManager() {
    ++generation_;
    if (manager_) {
      std::error_code ignored;
      manager_->close(ignored);
    }
    if (resolver_) resolver_->cancel();
    if (timer_) timer_->cancel();
    for (const auto id : receives_) {
      Reply answer;
      answer.operation = Operation::receive;
      answer.id = id;
      reply(std::move(answer));
    }
    receives_.clear();
    for (const auto& [id, data] : writes_) replyError(Operation::send, id, "disconnected");
    writes_.clear();
    writing_ = false;
    reading_ = false;
    state_ = State::idle;
  }

  asio::any_io_executor executor_;
  std::shared_ptr<RelayIPCChannel> channel_;
  std::chrono::seconds connectTimeout_;
  State state_ = State::idle;
  std::uint64_t generation_ = 0;
  bool timedOut_ = false;
  std::optional<asio::ip::tcp::socket> manager_;
  std::optional<asio::ip::tcp::resolver> resolver_;
  std::optional<Timer> timer_;
  std::deque<std::pair<std::uint32_t, Bytes>> writes_;
  bool writing_ = false;
  std::deque<std::uint32_t> receives_;
  bool reading_ = false;
  std::vector<std::uint8_t> readBuffer_;
};

struct Settings {
  std::filesystem::path socketPath;
  std::map<std::filesystem::path, std::string> clientIdentities;
  std::chrono::seconds connectTimeout{8};
};

std::optional<Settings> parseArguments(int argc, char** argv) {
  Settings settings;
  settings.socketPath = paths::relaySocketPath(VantrelMacDaemonRelay::machServiceName);
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (argument == "--socket") {
      settings.socketPath = value;
    } else if (argument == "--client-identity") {
      const auto equals = value.find('=');
      if (equals == std::string::npos || equals == 0) return std::nullopt;
      std::error_code ec;
      auto program = std::filesystem::weakly_canonical(value.substr(0, equals), ec);
      if (ec) return std::nullopt;
      settings.clientIdentities[program] = value.substr(equals + 1);
    } else if (argument == "--connect-timeout") {
      try {
        settings.connectTimeout = std::chrono::seconds(std::stoi(value));
      } catch (const std::exception&) {
        return std::nullopt;
      }
      if (settings.connectTimeout.count() < 1) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return settings;
}

int run(const Settings& settings) {
  const auto requirement = CodeRequirement::compile(XPCPeerPolicy::clientRequirement());
  if (!requirement) {
    daemonLog().fault("{}", DaemonRelayFailure::invalidSignaturePolicy);
    return 1;
  }
  CodeIdentityResolver resolver =
      [identities = settings.clientIdentities](const PeerCredentials& peer) -> std::optional<CodeIdentity> {
    std::error_code ec;
    const auto program = std::filesystem::weakly_canonical(peer.executable, ec);
    if (!ec) {
      if (const auto found = identities.find(program); found != identities.end()) {
        return CodeIdentity{XPCPeerPolicy::teamID, found->second};
      }
    }
    return XPCPeerPolicy::installedProgramIdentity(peer);
  };

  std::error_code ec;
  std::filesystem::create_directories(settings.socketPath.parent_path(), ec);
  struct stat existing {};
  if (::lstat(settings.socketPath.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
    std::filesystem::remove(settings.socketPath, ec);
  }

  asio::io_context io;
  asio::local::stream_protocol::acceptor acceptor(io);
  try {
    acceptor.open();
    acceptor.bind(asio::local::stream_protocol::endpoint(settings.socketPath.string()));
    acceptor.listen();
  } catch (const std::system_error& error) {
    daemonLog().fault("cannot listen at {}: {}", settings.socketPath.string(), error.what());
    return 1;
  }
  // Any local user may knock; the client requirement decides who is served.
  ::chmod(settings.socketPath.c_str(), 0666);
  daemonLog().notice("relay daemon listening at {}", settings.socketPath.string());

  std::vector<std::weak_ptr<RelaySession>> sessions;
  std::function<void()> acceptNext;
  acceptNext = [&] {
    acceptor.async_accept(
        asio::make_strand(io), [&](std::error_code error, asio::local::stream_protocol::socket socket) {
          if (error) {
            if (error != asio::error::operation_aborted && acceptor.is_open()) acceptNext();
            return;
          }
          const auto peer = readPeerCredentials(socket.native_handle());
          if (!peer || !requirement->isSatisfiedBy(*peer, resolver)) {
            daemonLog().error("relay client rejected: pid {} executable {}", peer ? peer->pid : 0,
                              peer ? peer->executable.string() : std::string("?"));
            std::error_code ignored;
            socket.close(ignored);
          } else {
            daemonLog().info("relay client admitted: pid {}", peer->pid);
            auto session = std::make_shared<RelaySession>(std::move(socket), settings.connectTimeout);
            session->start();
            std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
            sessions.push_back(session);
          }
          acceptNext();
        });
  };
  acceptNext();

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](std::error_code, int) {
    // Stop accepting and end every relay; the loop then runs out of work.
    std::error_code ignored;
    acceptor.close(ignored);
    for (auto& weak : sessions) {
      if (auto session = weak.lock()) asio::post(session->executor(), [session] { session->shutdown(); });
    }
  });
  io.run();
  std::filesystem::remove(settings.socketPath, ec);
  return 0;
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
  const auto settings = vantrel::parseArguments(argc, argv);
  if (!settings) {
    std::cerr << "usage: VantrelMacDaemon [--socket PATH] [--client-identity EXECUTABLE=IDENTIFIER]..."
                 " [--connect-timeout SECONDS]\n";
    return 2;
  }
  return vantrel::run(*settings);
}

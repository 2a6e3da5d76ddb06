#pragma once

// The relay socket: a Unix-domain stream socket between the agent and the privileged relay
// daemon, carrying the length-prefixed messages of RelayIPCMessage.hpp. Both ends check who is
// at the other end (SO_PEERCRED and /proc/<pid>/exe) before they exchange anything.

#include <asio/local/stream_protocol.hpp>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "Platform/Relay/RelayIPCMessage.hpp"
#include "Platform/Update/CodeRequirement.hpp"
#include "Support/Async.hpp"

namespace vantrel {

// The credentials of the process at the other end of a connected Unix socket. The executable
// comes from /proc/<pid>/exe; where the kernel hides it (a root peer seen by an ordinary user),
// it is taken from the peer's command line when the peer runs as root, and left empty otherwise.
std::optional<PeerCredentials> readPeerCredentials(int socketDescriptor);

// One connected relay socket: whole messages go out through a FIFO with one write in flight,
// message bodies come in one by one. All calls and callbacks run on the socket's executor.
class RelayIPCChannel : public std::enable_shared_from_this<RelayIPCChannel> {
 public:
  using Socket = asio::local::stream_protocol::socket;

  explicit RelayIPCChannel(Socket socket);
  RelayIPCChannel(const RelayIPCChannel&) = delete;
  RelayIPCChannel& operator=(const RelayIPCChannel&) = delete;

  // Starts reading. `onMessage` gets each body; `onClosed` runs once, when the peer closes, a read
  // or write fails, the peer breaks the framing, or `close()` is called.
  void start(std::function<void(Bytes body)> onMessage, std::function<void()> onClosed);
  // Queues a whole encoded message (length prefix included).
  void write(Bytes message);
  void close();
  bool isClosed() const noexcept { return closed_; }
  Socket& socket() noexcept { return socket_; }

 private:
  void readMore();
  void writeNext();
  void fail();

  Socket socket_;
  relayipc::MessageReader reader_;
  std::vector<std::uint8_t> readBuffer_;
  std::deque<Bytes> outbox_;
  bool writing_ = false;
  bool closed_ = false;
  std::function<void(Bytes)> onMessage_;
  std::function<void()> onClosed_;
};

// The agent's end of the relay socket, in the manner of a connection to a system service: made
// without traffic, connected when resumed, checked against a peer requirement, and once invalid
// (daemon missing or gone, peer rejected, protocol broken) it stays invalid and fails every call
// at once. Each call gets exactly one answer: the daemon's reply, or nullopt when the connection
// is or becomes invalid. Use on the executor it was made with.
class RelayIPCClient : public std::enable_shared_from_this<RelayIPCClient> {
 public:
  using ReplyHandler = std::function<void(std::optional<relayipc::Reply>)>;
  using PeerCheck = std::function<bool(const PeerCredentials&)>;

  static std::shared_ptr<RelayIPCClient> create(Executor executor, std::filesystem::path socketPath,
                                                PeerCheck peerCheck);
  ~RelayIPCClient();

  // Starts connecting (once); calls made before are queued.
  void resume();
  // Sends the request (its id is assigned here) and answers through `onReply`, never inline.
  void call(relayipc::Request request, ReplyHandler onReply);
  // Closes the socket and fails every call that still waits.
  void invalidate();
  bool isInvalid() const noexcept { return state_ == State::invalid; }

 private:
  enum class State { suspended, connecting, ready, invalid };
  struct Pending {
    relayipc::Operation operation;
    ReplyHandler onReply;
  };

  RelayIPCClient(Executor executor, std::filesystem::path socketPath, PeerCheck peerCheck);
  void connected();
  void received(Bytes body);
  void answer(ReplyHandler handler, std::optional<relayipc::Reply> reply);

  Executor executor_;
  std::filesystem::path socketPath_;
  PeerCheck peerCheck_;
  State state_ = State::suspended;
  std::shared_ptr<RelayIPCChannel> channel_;
  std::optional<RelayIPCChannel::Socket> connectingSocket_;
  std::deque<Bytes> waitingToBeSent_;
  std::map<std::uint32_t, Pending> pending_;
  std::uint32_t nextID_ = 1;
};

}  // namespace vantrel

#include "Platform/Relay/RelayIPC.hpp"

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>

#include <fstream>

namespace vantrel {

std::optional<PeerCredentials> readPeerCredentials(int socketDescriptor) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials || credentials.pid <= 0) {
    return std::nullopt;
  }
  PeerCredentials peer;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  const auto proc = std::filesystem::path("/proc") / std::to_string(credentials.pid);
  std::error_code ec;
  auto executable = std::filesystem::read_symlink(proc / "exe", ec);
  if (!ec) {
    peer.executable = std::move(executable);
  } else if (credentials.uid == 0) {
    // An ordinary user may not read a root process's executable link. Root is trusted with
    // everything anyway, so its command line names the program well enough.
    std::ifstream commandLine(proc / "cmdline", std::ios::binary);
    std::string first;
    if (std::getline(commandLine, first, '\0') && !first.empty() && first.front() == '/') {
      peer.executable = std::filesystem::path(first).lexically_normal();
    }
  }
  return peer;
}

// --- RelayIPCChannel ---

RelayIPCChannel::RelayIPCChannel(Socket socket) : socket_(std::move(socket)), readBuffer_(64 * 1024) {}

void RelayIPCChannel::start(std::function<void(Bytes)> onMessage, std::function<void()> onClosed) {
  onMessage_ = std::move(onMessage);
  onClosed_ = std::move(onClosed);
  readMore();
  writeNext();
}

void RelayIPCChannel::readMore() {
  if (closed_) return;
  socket_.async_read_some(asio::buffer(readBuffer_),
                          [self = shared_from_this()](std::error_code ec, std::size_t count) {
                            if (self->closed_) return;
                            if (ec || !self->reader_.append(ByteView(self->readBuffer_.data(), count))) {
                              self->fail();
                              return;
                            }
                            while (auto body = self->reader_.next()) {
                              // A copy: the callback may close the channel, which drops the stored one.
                              auto onMessage = self->onMessage_;
                              if (onMessage) onMessage(std::move(*body));
                              if (self->closed_) return;
                            }
                            if (self->reader_.failed()) {
                              self->fail();
                              return;
                            }
                            self->readMore();
                          });
}

void RelayIPCChannel::write(Bytes message) {
  if (closed_) return;
  outbox_.push_back(std::move(message));
  writeNext();
}

void RelayIPCChannel::writeNext() {
  if (writing_ || outbox_.empty() || closed_ || !onClosed_) return;
  writing_ = true;
  asio::async_write(socket_, asio::buffer(outbox_.front()),
                    [self = shared_from_this()](std::error_code ec, std::size_t) {
                      self->writing_ = false;
                      if (self->closed_) return;
                      if (ec) {
                        self->fail();
                        return;
                      }
                      self->outbox_.pop_front();
                      self->writeNext();
                    });
}

void RelayIPCChannel::fail() {
  if (closed_) return;
  auto keepAlive = shared_from_this();  // the callbacks may drop the last owner
  closed_ = true;
  std::error_code ignored;
  socket_.close(ignored);
  outbox_.clear();
  auto onClosed = std::move(onClosed_);
  onClosed_ = nullptr;
  auto onMessage = std::move(onMessage_);
  onMessage_ = nullptr;
  if (onClosed) onClosed();
}

void RelayIPCChannel::close() { fail(); }

// --- RelayIPCClient ---

std::shared_ptr<RelayIPCClient> RelayIPCClient::create(Executor executor, std::filesystem::path socketPath,
                                                       PeerCheck peerCheck) {
  return std::shared_ptr<RelayIPCClient>(
      new RelayIPCClient(std::move(executor), std::move(socketPath), std::move(peerCheck)));
}

RelayIPCClient::RelayIPCClient(Executor executor, std::filesystem::path socketPath, PeerCheck peerCheck)
    : executor_(std::move(executor)), socketPath_(std::move(socketPath)), peerCheck_(std::move(peerCheck)) {}

RelayIPCClient::~RelayIPCClient() {
  if (channel_) channel_->close();
}

void RelayIPCClient::resume() {
  if (state_ != State::suspended) return;
  state_ = State::connecting;
  asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = asio::local::stream_protocol::endpoint(socketPath_.string());
  } catch (const std::exception&) {
    invalidate();  // a path the kernel cannot take
    return;
  }
  connectingSocket_.emplace(executor_);
  connectingSocket_->async_connect(endpoint, [weak = weak_from_this()](std::error_code ec) {
    auto self = weak.lock();
    if (!self || self->state_ != State::connecting || !self->connectingSocket_) return;
    if (ec) {
      self->invalidate();
      return;
    }
    const auto peer = readPeerCredentials(self->connectingSocket_->native_handle());
    if (!peer || !self->peerCheck_ || !self->peerCheck_(*peer)) {
      self->invalidate();
      return;
    }
    self->connected();
  });
}

void RelayIPCClient::connected() {
  channel_ = std::make_shared<RelayIPCChannel>(std::move(*connectingSocket_));
  connectingSocket_.reset();
  state_ = State::ready;
  for (auto& message : waitingToBeSent_) channel_->write(std::move(message));
  waitingToBeSent_.clear();
  std::weak_ptr<RelayIPCClient> weak = weak_from_this();
  channel_->start(
      [weak](Bytes body) {
        if (auto self = weak.lock()) self->received(std::move(body));
      },
      [weak] {
        if (auto self = weak.lock()) self->invalidate();
      });
}

void RelayIPCClient::call(relayipc::Request request, ReplyHandler onReply) {
  if (state_ == State::invalid) {
    answer(std::move(onReply), std::nullopt);
    return;
  }
  request.id = nextID_++;
  if (nextID_ == 0) nextID_ = 1;
  auto message = relayipc::encode(request);
  if (!message) {
    answer(std::move(onReply), std::nullopt);
    return;
  }
  pending_[request.id] = Pending{request.operation, std::move(onReply)};
  if (state_ == State::ready) {
    channel_->write(std::move(*message));
  } else {
    waitingToBeSent_.push_back(std::move(*message));
  }
}

void RelayIPCClient::received(Bytes body) {
  const auto reply = relayipc::decodeReply(body);
  if (!reply) {
    invalidate();  // the peer does not speak the relay protocol
    return;
  }
  const auto found = pending_.find(reply->id);
  if (found == pending_.end()) return;  // a reply nobody waits for any more
  if (found->second.operation != reply->operation) {
    invalidate();
    return;
  }
  auto handler = std::move(found->second.onReply);
  pending_.erase(found);
  answer(std::move(handler), *reply);
}

void RelayIPCClient::answer(ReplyHandler handler, std::optional<relayipc::Reply> reply) {
  asio::post(executor_, [handler = std::move(handler), reply = std::move(reply)]() mutable {
    handler(std::move(reply));
  });
}

void RelayIPCClient::invalidate() {
  if (state_ == State::invalid) return;
  state_ = State::invalid;
  if (connectingSocket_) {
    std::error_code ignored;
    connectingSocket_->close(ignored);
  }
  if (channel_) channel_->close();
  waitingToBeSent_.clear();
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, call] : pending) answer(std::move(call.onReply), std::nullopt);
}

}  // namespace vantrel

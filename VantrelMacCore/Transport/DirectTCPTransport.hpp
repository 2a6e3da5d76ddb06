#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio/ip/tcp.hpp>

#include "Transport/ManagerTLSPolicy.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

// How the kernel watches a connected link: keepalive probes after `keepaliveIdle` without
// traffic, every `keepaliveInterval`, `keepaliveProbes` unanswered ending the connection; and
// a send that stays unacknowledged for `userTimeout` ends it too (TCP_USER_TIMEOUT).
struct TCPLinkSupervision {
  std::chrono::seconds keepaliveIdle{30};
  std::chrono::seconds keepaliveInterval{10};
  int keepaliveProbes = 3;
  std::chrono::milliseconds userTimeout{60'000};
};

// Applies `supervision` to a connected socket; throws `connectionFailed` when the system refuses.
// The relay daemon uses it for its manager connections too.
void superviseTCPLink(asio::ip::tcp::socket& socket, const TCPLinkSupervision& supervision);

// One TCP connection straight to a manager, with TLS when a policy is given.
//
// Everything runs on one strand (`executor()`): the socket's completions, the connect timer and
// the bodies of the four operations, so a session that shares the strand never races the
// transport. Only `phase()` may be read from another thread.
//
// Sends go through a FIFO of whole buffers with one write in flight: concurrent sends never
// interleave bytes, and a write that has begun is never cancelled (a torn frame would
// desynchronise the peer). A cancelled send whose write has begun stops waiting but lets the
// write finish; to abandon it, disconnect. At most one read is in flight: a receive that is
// cancelled leaves its read running and the bytes go to the next receive, so nothing is lost.
class DirectTCPTransport final : public NetworkTransporting,
                                 public std::enable_shared_from_this<DirectTCPTransport> {
 public:
  enum class Phase { idle, connecting, ready, failed, cancelled };

  static constexpr std::size_t maximumReadLength = 65536;

  // `connectTimeout` in seconds, clamped by `clampConnectTimeout`. Nothing is opened.
  static std::shared_ptr<DirectTCPTransport> create(Executor executor,
                                                    std::optional<ManagerTLSPolicy> tlsPolicy,
                                                    double connectTimeout,
                                                    TCPLinkSupervision supervision = {});
  ~DirectTCPTransport() override;
  DirectTCPTransport(const DirectTCPTransport&) = delete;
  DirectTCPTransport& operator=(const DirectTCPTransport&) = delete;

  // A finite value becomes min(max(value, 1), 60); infinity or NaN becomes 10.
  static double clampConnectTimeout(double seconds) noexcept;

  Awaitable<void> connect(std::string host, std::uint16_t port) override;
  Awaitable<void> disconnect() override;
  Awaitable<void> send(Bytes data) override;
  Awaitable<Bytes> receive() override;
  Executor executor() const override { return strand_; }

  Phase phase() const noexcept { return phase_.load(std::memory_order_acquire); }
  double connectTimeout() const noexcept { return connectTimeout_; }
  const std::optional<ManagerTLSPolicy>& tlsPolicy() const noexcept { return tlsPolicy_; }

  // One connection attempt's socket, TLS stream, write queue and read state (defined in the
  // source file; named here only so its helpers can reach it).
  struct Connection;

 private:
  DirectTCPTransport(Executor executor, std::optional<ManagerTLSPolicy> tlsPolicy, double connectTimeout,
                     TCPLinkSupervision supervision);

  static Awaitable<void> connectBody(std::shared_ptr<DirectTCPTransport> self, std::string host,
                                     std::uint16_t port);
  static Awaitable<void> disconnectBody(std::shared_ptr<DirectTCPTransport> self);
  static Awaitable<void> sendBody(std::shared_ptr<DirectTCPTransport> self, Bytes data);
  static Awaitable<Bytes> receiveBody(std::shared_ptr<DirectTCPTransport> self);

  // The ready connection, or nullptr (send and receive then throw `notConnected`).
  std::shared_ptr<Connection> readyConnection() const;

  Strand strand_;
  const std::optional<ManagerTLSPolicy> tlsPolicy_;
  const double connectTimeout_;
  const TCPLinkSupervision supervision_;
  std::shared_ptr<Connection> connection_;
  std::atomic<Phase> phase_{Phase::idle};
  // Bumped by every connect that passes its checks, so that a connect that ends late does not
  // touch the state of a newer attempt.
  std::uint64_t attempt_ = 0;
};

}  // namespace vantrel

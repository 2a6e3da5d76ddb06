#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <variant>

#include <asio/redirect_error.hpp>

#include "Platform/Relay/RelayIPC.hpp"
#include "Platform/Update/CodeRequirement.hpp"
#include "Transport/NetworkTransporting.hpp"
#include "Transport/XPCPeerPolicy.hpp"

namespace vantrel {

namespace VantrelMacDaemonRelay {
// The relay daemon's service name; its socket is `paths::relaySocketPath(machServiceName)`.
inline constexpr const char* machServiceName = "local.vantrel.VantrelMac.daemon.relay";
}  // namespace VantrelMacDaemonRelay

// The failure codes the relay transport reports as `connectionFailed` details.
namespace DaemonRelayFailure {
inline constexpr const char* invalidSignaturePolicy = "invalid_daemon_signature_policy";
inline constexpr const char* unavailableOrRejected = "daemon_unavailable_or_signature_rejected";
inline constexpr const char* replyTimeout = "daemon_reply_timeout";
// A send larger than one relay message may carry.
inline constexpr const char* messageTooLarge = "relay_message_too_large";
}  // namespace DaemonRelayFailure

class XPCReplyGateBase {
 public:
  virtual ~XPCReplyGateBase() = default;
  // Ends the call with an error unless it has already ended; true when this call decided.
  virtual bool fail(std::exception_ptr error) = 0;
};

// Ends one relay call exactly once: the first of the daemon's reply, a connection error and the
// call's deadline decides, everything after it is dropped. Lives on the transport's strand, like
// everything that calls it.
template <typename T>
class XPCReplyGate final : public XPCReplyGateBase {
 public:
  using Result = std::variant<T, std::exception_ptr>;

  XPCReplyGate(const Executor& executor, VantrelClock::time_point deadline)
      : wake_(executor), deadline_(deadline) {
    wake_.expires_at(VantrelClock::time_point::max());
  }

  bool finish(Result result) {
    if (finished_) return false;
    finished_ = true;
    result_ = std::move(result);
    wake_.cancel();
    return true;
  }

  bool fail(std::exception_ptr error) override { return finish(Result(std::move(error))); }

  bool isFinished() const noexcept { return finished_; }
  VantrelClock::time_point deadline() const noexcept { return deadline_; }

  // The outcome, handed out once.
  std::optional<Result> take() { return std::exchange(result_, std::nullopt); }

  // Waits for the outcome; false when the waiting operation was cancelled first (the call itself
  // goes on, and its outcome stays in the gate).
  Awaitable<bool> wait() {
    while (!finished_) {
      std::error_code ignored;
      co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
      if (finished_) break;
      auto state = co_await asio::this_coro::cancellation_state;
      if (state.cancelled() != asio::cancellation_type::none) co_return false;
    }
    co_return true;
  }

 private:
  bool finished_ = false;
  std::optional<Result> result_;
  Timer wake_;
  VantrelClock::time_point deadline_;
};

// The transport of the windowless session agent: the privileged relay daemon holds the TCP
// connection, and each operation is one request on the relay socket, answered by the daemon's
// reply, a connection failure or a time-out (10 s; receive 60 s), whichever comes first.
// `disconnect()` never throws: it is the clean-up path of every caller.
//
// The relay connection is made by the first call and kept until `disconnect()`; once it has
// failed, every call fails at once with "daemon_unavailable_or_signature_rejected" until then.
// A send can complete while a receive waits. A receive whose caller gives up leaves its request
// running and the next receive takes its reply, so no bytes are lost; a timed-out call is never
// retried (its late reply is dropped).
class DaemonRelayTransport final : public NetworkTransporting,
                                   public std::enable_shared_from_this<DaemonRelayTransport> {
 public:
  struct Options {
    // Default: paths::relaySocketPath(VantrelMacDaemonRelay::machServiceName) at first use.
    std::optional<std::filesystem::path> socketPath{};
    std::string daemonRequirement = XPCPeerPolicy::daemonRequirement();
    CodeIdentityResolver identityResolver = XPCPeerPolicy::installedProgramIdentity;
  };

  static constexpr std::chrono::seconds requestTimeout{10};
  static constexpr std::chrono::seconds receiveTimeout{60};

  static std::shared_ptr<DaemonRelayTransport> create(Executor executor);
  static std::shared_ptr<DaemonRelayTransport> create(Executor executor, Options options);
  DaemonRelayTransport(const DaemonRelayTransport&) = delete;
  DaemonRelayTransport& operator=(const DaemonRelayTransport&) = delete;
  ~DaemonRelayTransport() override;

  Awaitable<void> connect(std::string host, std::uint16_t port) override;
  Awaitable<void> disconnect() override;
  Awaitable<void> send(Bytes data) override;
  Awaitable<Bytes> receive() override;
  Executor executor() const override { return strand_; }

 private:
  DaemonRelayTransport(Executor executor, Options options);

  template <typename T>
  using Mapping = std::function<typename XPCReplyGate<T>::Result(const relayipc::Reply&)>;

  // Sends one request and returns the gate its outcome arrives in. Throws
  // connectionFailed("invalid_daemon_signature_policy") when no relay connection can be made.
  template <typename T>
  std::shared_ptr<XPCReplyGate<T>> startCall(VantrelClock::duration timeout, relayipc::Request request,
                                             Mapping<T> mapping);
  // Waits for the gate's outcome until its deadline; `cancelled` when the caller gives up first.
  // Empty when another receive took the outcome meanwhile.
  template <typename T>
  static Awaitable<std::optional<typename XPCReplyGate<T>::Result>> awaitReply(
      std::shared_ptr<XPCReplyGate<T>> gate);
  template <typename T>
  static Awaitable<T> invoke(std::shared_ptr<DaemonRelayTransport> self, VantrelClock::duration timeout,
                             relayipc::Request request, Mapping<T> mapping);

  static Awaitable<void> connectBody(std::shared_ptr<DaemonRelayTransport> self, std::string host,
                                     std::uint16_t port);
  static Awaitable<void> disconnectBody(std::shared_ptr<DaemonRelayTransport> self);
  static Awaitable<void> sendBody(std::shared_ptr<DaemonRelayTransport> self, Bytes data);
  static Awaitable<Bytes> receiveBody(std::shared_ptr<DaemonRelayTransport> self);

  Strand strand_;
  Options options_;
  std::shared_ptr<RelayIPCClient> connection_;
  std::shared_ptr<XPCReplyGate<Bytes>> pendingReceive_;
  std::list<std::weak_ptr<XPCReplyGateBase>> outstanding_;
};

}  // namespace vantrel

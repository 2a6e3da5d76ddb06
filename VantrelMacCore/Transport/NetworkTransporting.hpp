#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Support/Async.hpp"
#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// The one error type every transport reports.
class NetworkTransportError : public Error {
 public:
  enum class Case {
    invalidPort,
    connectionFailed,
    sendFailed,
    receiveFailed,
    invalidHost,
    notConnected,
    alreadyConnected,
    disconnected,
    cancelled,
    timedOut,
  };

  static NetworkTransportError invalidPort(std::uint16_t port) { return {Case::invalidPort, port, {}}; }
  static NetworkTransportError connectionFailed(std::string detail) {
    return {Case::connectionFailed, 0, std::move(detail)};
  }
  static NetworkTransportError sendFailed(std::string detail) {
    return {Case::sendFailed, 0, std::move(detail)};
  }
  static NetworkTransportError receiveFailed(std::string detail) {
    return {Case::receiveFailed, 0, std::move(detail)};
  }
  static NetworkTransportError invalidHost() { return {Case::invalidHost, 0, {}}; }
  static NetworkTransportError notConnected() { return {Case::notConnected, 0, {}}; }
  static NetworkTransportError alreadyConnected() { return {Case::alreadyConnected, 0, {}}; }
  static NetworkTransportError disconnected() { return {Case::disconnected, 0, {}}; }
  static NetworkTransportError cancelled() { return {Case::cancelled, 0, {}}; }
  static NetworkTransportError timedOut() { return {Case::timedOut, 0, {}}; }

  Case kind() const noexcept { return case_; }
  // The port of `invalidPort`; 0 for every other case.
  std::uint16_t port() const noexcept { return port_; }
  // The detail of `connectionFailed`, `sendFailed` and `receiveFailed`; empty otherwise.
  const std::string& detail() const noexcept { return detail_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.NetworkTransportError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const NetworkTransportError& a, const NetworkTransportError& b) {
    return a.case_ == b.case_ && a.port_ == b.port_ && a.detail_ == b.detail_;
  }

 private:
  NetworkTransportError(Case c, std::uint16_t port, std::string detail)
      : case_(c), port_(port), detail_(std::move(detail)) {}
  Case case_;
  std::uint16_t port_;
  std::string detail_;
};

// A stream connection to a manager: connect, write whole buffers, read what arrived, close.
// Every operation runs on the transport's executor (a strand); a session that shares the
// transport runs its own code on that same executor.
class NetworkTransporting {
 public:
  virtual ~NetworkTransporting() = default;

  // Returns once the byte stream is usable. Called once per attempt, before send and receive.
  virtual Awaitable<void> connect(std::string host, std::uint16_t port) = 0;
  // Never throws; allowed in any state, twice, and while another operation waits.
  virtual Awaitable<void> disconnect() = 0;
  // Writes the whole buffer as one write; concurrent sends never interleave their bytes.
  virtual Awaitable<void> send(Bytes data) = 0;
  // The next non-empty run of received bytes; end of stream throws `disconnected`.
  virtual Awaitable<Bytes> receive() = 0;

  // The strand every operation of this transport runs on.
  virtual Executor executor() const = 0;
};

// Stands in where no real transport is configured.
class UnimplementedNetworkTransport final : public NetworkTransporting {
 public:
  class Error : public vantrel::Error {
   public:
    enum class Case { notImplemented };
    static Error notImplemented() { return Error(); }
    Case kind() const noexcept { return Case::notImplemented; }
    std::optional<std::string> errorDescription() const override {
      return "Network transport is not implemented.";
    }
    std::string errorDomain() const override { return "VantrelMacCore.UnimplementedNetworkTransport.Error"; }
    friend bool operator==(const Error&, const Error&) { return true; }
  };

  explicit UnimplementedNetworkTransport(Executor executor) : strand_(makeStrand(executor)) {}

  Awaitable<void> connect(std::string host, std::uint16_t port) override;
  Awaitable<void> disconnect() override;
  Awaitable<void> send(Bytes data) override;
  Awaitable<Bytes> receive() override;
  Executor executor() const override { return strand_; }

 private:
  Strand strand_;
};

}  // namespace vantrel

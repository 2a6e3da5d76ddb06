#pragma once

// A scriptable in-memory transport for session tests: queued receive chunks, recorded sends,
// injected connect and send errors, sends that can be held open, and per-operation cancellation honoured by
// every waiting operation. A test may keep one after the io_context it runs on is gone: when that
// context shuts down, the transport lets go of its strand and timer; scripting then wakes nobody and
// observation still answers.

#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Transport/NetworkTransporting.hpp"

namespace vantrel::testing {

class FakeTransport final : public NetworkTransporting {
 public:
  explicit FakeTransport(Executor executor);
  ~FakeTransport() override;

  // NetworkTransporting
  Awaitable<void> connect(std::string host, std::uint16_t port) override;
  Awaitable<void> disconnect() override;
  Awaitable<void> send(Bytes data) override;
  Awaitable<Bytes> receive() override;
  Executor executor() const override { return *strand_; }

  // Scripting (thread-safe).
  void queueReceive(Bytes chunk);
  // After the queued chunks, receive throws `disconnected` (end of stream).
  void endOfStream();
  void failNextConnect(std::exception_ptr error);
  // Connect waits until cancelled or until hanging is switched off.
  void setConnectHangs(bool hangs);
  void failSends(std::exception_ptr error);  // every later send throws this (nullptr: stop)
  // While held, sends wait (in order) until released one by one or all at once.
  void holdSends(bool hold);
  void releaseOneSend();
  void releaseAllSends();

  // Observation (thread-safe).
  std::vector<Bytes> sent() const;
  Bytes sentConcatenated() const;
  std::size_t heldSendCount() const;
  int connectCount() const;
  int disconnectCount() const;
  std::string lastHost() const;
  std::uint16_t lastPort() const;
  bool isConnected() const;
  int waitingReceives() const;

 private:
  class ContextEnd;
  struct Registry;

  // Wakes every waiting operation so it re-checks its condition.
  void wake();
  Awaitable<void> waitForChange();
  // Called as the context shuts down, while its services still exist.
  void letGoOfContext();

  // Empty once the context has shut down.
  std::optional<Strand> strand_;
  std::optional<Timer> wakeTimer_;
  std::shared_ptr<Registry> registry_;
  mutable std::mutex mutex_;
  std::deque<Bytes> incoming_;
  bool endOfStream_ = false;
  std::exception_ptr connectError_;
  bool connectHangs_ = false;
  std::exception_ptr sendError_;
  bool holdSends_ = false;
  std::size_t sendsReleased_ = 0;
  std::size_t sendsStarted_ = 0;
  std::size_t heldNow_ = 0;
  std::vector<Bytes> sent_;
  int connectCount_ = 0;
  int disconnectCount_ = 0;
  int waitingReceives_ = 0;
  std::string lastHost_;
  std::uint16_t lastPort_ = 0;
  bool connected_ = false;
  std::uint64_t generation_ = 0;  // bumped by disconnect: waits of an older connection end
};

}  // namespace vantrel::testing

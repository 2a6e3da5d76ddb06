#pragma once

// Loopback peers for the transport tests: a plain TCP acceptor and a TLS server with
// certificates made by the test. Both run on the test's io_context.

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Support/Bytes.hpp"
#include "Transport/NetworkTransporting.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel::testing {

// Runs `op` and returns the NetworkTransportError it throws (a test failure if it throws none).
template <typename T>
NetworkTransportError transportErrorOf(asio::io_context& io, Awaitable<T> op) {
  try {
    (void)runAwaitable<T>(io, io.get_executor(), std::move(op));
  } catch (const NetworkTransportError& error) {
    return error;
  }
  ADD_FAILURE() << "operation did not throw a NetworkTransportError";
  return NetworkTransportError::connectionFailed("<no error>");
}

// The NetworkTransportError an operation ended with (a test failure for any other error).
inline NetworkTransportError errorOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkTransportError& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected error: " << e.what();
  }
  return NetworkTransportError::connectionFailed("<other error>");
}

// Accepts plain TCP connections on 127.0.0.1 (or ::1) at an ephemeral port.
class PlainPeer {
 public:
  explicit PlainPeer(asio::io_context& io, const char* address = "127.0.0.1")
      : io_(io), acceptor_(io, {asio::ip::make_address(address), 0}) {}

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // Accepts the next connection in the background.
  void acceptOne() {
    accepted_.reset();
    acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
      if (!ec) accepted_.emplace(std::move(socket));
    });
  }
  bool hasAccepted() const { return accepted_.has_value(); }
  asio::ip::tcp::socket& socket() { return *accepted_; }

  // Reads exactly `count` bytes from the accepted socket while the io_context runs.
  Bytes read(std::size_t count) {
    Bytes data(count);
    bool done = false;
    std::error_code error;
    asio::async_read(*accepted_, asio::buffer(data), [&](std::error_code ec, std::size_t) {
      error = ec;
      done = true;
    });
    EXPECT_TRUE(runUntil(io_, [&] { return done; }));
    EXPECT_FALSE(error) << error.message();
    return data;
  }

  void write(Bytes data) {
    auto shared = std::make_shared<Bytes>(std::move(data));
    bool done = false;
    asio::async_write(*accepted_, asio::buffer(*shared), [&, shared](std::error_code ec, std::size_t) {
      EXPECT_FALSE(ec) << ec.message();
      done = true;
    });
    EXPECT_TRUE(runUntil(io_, [&] { return done; }));
  }

  // True once the accepted socket reads end of stream (or an error: the peer went away). Bytes
  // that arrive before (a TLS client hello, say) are skipped.
  bool seesClose() {
    std::array<std::uint8_t, 4096> scratch{};
    std::error_code error;
    while (!error) {
      bool done = false;
      accepted_->async_read_some(asio::buffer(scratch), [&](std::error_code ec, std::size_t) {
        error = ec;
        done = true;
      });
      if (!runUntil(io_, [&] { return done; })) return false;
    }
    return true;
  }

 private:
  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  std::optional<asio::ip::tcp::socket> accepted_;
};

// A TLS server presenting a given chain. It records the server name the client sent and greets
// the client once the handshake succeeds.
class TLSPeer {
 public:
  TLSPeer(asio::io_context& io, const std::string& chainPEM, const std::string& keyPEM)
      : io_(io),
        context_(asio::ssl::context::tls_server),
        acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}) {
    context_.use_certificate_chain(asio::buffer(chainPEM));
    context_.use_private_key(asio::buffer(keyPEM), asio::ssl::context::pem);
    SSL_CTX_set_tlsext_servername_arg(context_.native_handle(), this);
    SSL_CTX_set_tlsext_servername_callback(
        context_.native_handle(), +[](SSL* ssl, int*, void* arg) -> int {
          const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
          static_cast<TLSPeer*>(arg)->serverName_ = name ? name : "";
          return SSL_TLSEXT_ERR_OK;
        });
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  void serveOne(std::string greeting) {
    acceptor_.async_accept([this, greeting](std::error_code ec, asio::ip::tcp::socket socket) {
      if (ec) return;
      stream_.emplace(std::move(socket), context_);
      stream_->async_handshake(asio::ssl::stream_base::server, [this, greeting](std::error_code ec) {
        if (ec) return;
        auto text = std::make_shared<std::string>(greeting);
        asio::async_write(*stream_, asio::buffer(*text), [text](std::error_code, std::size_t) {});
      });
    });
  }

  const std::string& serverName() const { return serverName_; }

  Bytes read(std::size_t count) {
    Bytes data(count);
    bool done = false;
    asio::async_read(*stream_, asio::buffer(data), [&](std::error_code ec, std::size_t) {
      EXPECT_FALSE(ec) << ec.message();
      done = true;
    });
    EXPECT_TRUE(runUntil(io_, [&] { return done; }));
    return data;
  }

 private:
  asio::io_context& io_;
  asio::ssl::context context_;
  asio::ip::tcp::acceptor acceptor_;
  std::optional<asio::ssl::stream<asio::ip::tcp::socket>> stream_;
  std::string serverName_;
};

}  // namespace vantrel::testing

#pragma once

#include <asio/ssl/context.hpp>

#include <memory>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"

typedef struct x509_store_ctx_st X509_STORE_CTX;
typedef struct ssl_st SSL;

namespace vantrel {

class ManagerTLSPolicy;

// The TLS client settings of one connection: the context the handshake runs with and the policy
// its verification callback consults (kept together so the callback's argument outlives it).
struct ManagerTLSOptions {
  explicit ManagerTLSOptions(const ManagerTLSPolicy& policy);
  ManagerTLSOptions(const ManagerTLSOptions&) = delete;
  ManagerTLSOptions& operator=(const ManagerTLSOptions&) = delete;

  std::unique_ptr<const ManagerTLSPolicy> policy;
  asio::ssl::context context;

  // Per-connection settings that live on the SSL object rather than the context (the server
  // name sent in the handshake). Returns false when OpenSSL refuses them.
  bool prepare(SSL* ssl) const;
};

// How a TLS connection to a manager is trusted: the server name presented and verified, the
// SHA-256 pin of the leaf certificate, and optionally one enrolled anchor that replaces the
// system's trusted roots. All three must hold for a handshake to be accepted.
class ManagerTLSPolicy {
 public:
  static constexpr std::size_t maximumServerNameBytes = 253;
  static constexpr std::size_t maximumAnchorBytes = 16384;

  // Throws NetworkTransportError::connectionFailed("invalid_manager_tls_policy") for a bad
  // server name or pin, and connectionFailed("invalid_enrolled_tls_anchor") for an anchor that is
  // too large or not one DER certificate. Checked in that order.
  ManagerTLSPolicy(std::string serverName, std::string leafCertificateSHA256,
                   std::optional<Bytes> enrolledAnchorDER);

  const std::string& serverName() const noexcept { return serverName_; }
  // Always 64 lower-case hexadecimal digits.
  const std::string& leafCertificateSHA256() const noexcept { return leafCertificateSHA256_; }
  const std::optional<Bytes>& enrolledAnchorDER() const noexcept { return enrolledAnchorDER_; }

  // TLS 1.2 or newer, the server name for SNI, peer verification through `accepts`.
  std::shared_ptr<ManagerTLSOptions> options() const;

  // The trust decision for one handshake, given the chain the peer presented: the chain must
  // verify (to the enrolled anchor alone when there is one, a non-root anchor included, else to
  // the system's roots) for `serverName`, and the leaf's DER must hash to the pin.
  bool accepts(X509_STORE_CTX* trust) const;

  // Lower-case hexadecimal SHA-256 of the bytes (the pin format).
  static std::string sha256Hex(ByteView bytes);

 private:
  std::string serverName_;
  std::string leafCertificateSHA256_;
  std::optional<Bytes> enrolledAnchorDER_;
};

}  // namespace vantrel

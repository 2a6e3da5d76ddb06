#pragma once

#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace vantrel::tools {

struct X509Deleter {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct PKeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyDeleter>;

// A certificate with its private key.
struct Identity {
  X509Ptr certificate;
  PKeyPtr key;
  std::string certificatePEM() const;
};

// A throw-away certificate authority made in memory (P-256, SHA-256), for loopback peers.
class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& commonName = "Vantrel Test CA");

  const Identity& root() const noexcept { return root_; }
  std::string rootPEM() const { return root_.certificatePEM(); }

  // A server certificate signed by this authority for the given subject alternative names
  // ("IP:127.0.0.1", "DNS:localhost").
  Identity issueServer(const std::vector<std::string>& alternativeNames) const;

 private:
  Identity root_;
};

}  // namespace vantrel::tools

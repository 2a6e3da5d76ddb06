#pragma once

// Certificates made on the spot for TLS tests: P-256 keys, SHA-256 signatures, subject
// alternative names, CA and leaf profiles. Nothing is read from or written to disk.

#include <memory>
#include <string>
#include <vector>

#include "Support/Bytes.hpp"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace vantrel::testing {

class TestCertificate {
 public:
  struct Options {
    std::string commonName{};
    std::vector<std::string> dnsNames{};  // subject alternative names
    std::vector<std::string> ipAddresses{};
    bool isCA = false;
    long validFromSeconds = -3600;  // relative to now
    long validUntilSeconds = 86400;
  };

  // Self-signed when `issuer` is null.
  static std::shared_ptr<TestCertificate> make(const Options& options,
                                               const TestCertificate* issuer = nullptr);

  ~TestCertificate();
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  const Bytes& der() const noexcept { return der_; }
  std::string certificatePEM() const;
  std::string privateKeyPEM() const;
  // Lower-case hexadecimal SHA-256 of the DER (the pin of a leaf).
  std::string sha256() const;
  X509* x509() const noexcept { return certificate_; }

 private:
  TestCertificate() = default;
  X509* certificate_ = nullptr;
  EVP_PKEY* key_ = nullptr;
  Bytes der_;
};

// The PEM a server presents: the leaf first, then the intermediates in order.
std::string chainPEM(const std::vector<const TestCertificate*>& chain);

}  // namespace vantrel::testing

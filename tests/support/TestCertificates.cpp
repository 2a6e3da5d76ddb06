#include "support/TestCertificates.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "Transport/ManagerTLSPolicy.hpp"

namespace vantrel::testing {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  check(extension != nullptr, "extension");
  check(X509_add_ext(certificate, extension, -1) == 1, "add extension");
  X509_EXTENSION_free(extension);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

}  // namespace

std::shared_ptr<TestCertificate> TestCertificate::make(const Options& options,
                                                       const TestCertificate* issuer) {
  std::shared_ptr<TestCertificate> made(new TestCertificate());
  made->key_ = EVP_EC_gen("P-256");
  check(made->key_ != nullptr, "key");
  X509* certificate = X509_new();
  check(certificate != nullptr, "new");
  made->certificate_ = certificate;

  check(X509_set_version(certificate, 2) == 1, "version");
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  check(number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)), "serial number");
  BN_free(number);
  check(X509_gmtime_adj(X509_getm_notBefore(certificate), options.validFromSeconds) != nullptr, "not before");
  check(X509_gmtime_adj(X509_getm_notAfter(certificate), options.validUntilSeconds) != nullptr, "not after");

  X509_NAME* name = X509_get_subject_name(certificate);
  check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Vantrel Test"), -1, -1, 0) == 1,
        "organisation");
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1,
                                   0) == 1,
        "common name");
  X509* signer = issuer ? issuer->certificate_ : certificate;
  EVP_PKEY* signingKey = issuer ? issuer->key_ : made->key_;
  check(X509_set_issuer_name(certificate, X509_get_subject_name(signer)) == 1, "issuer");
  check(X509_set_pubkey(certificate, made->key_) == 1, "public key");

  if (options.isCA) {
    addExtension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate, signer, NID_key_usage, "critical,digitalSignature");
    addExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
  }
  addExtension(certificate, signer, NID_subject_key_identifier, "hash");
  if (issuer) addExtension(certificate, signer, NID_authority_key_identifier, "keyid:always");
  std::string alternatives;
  for (const auto& dns : options.dnsNames) {
    alternatives += (alternatives.empty() ? "" : ",") + std::string("DNS:") + dns;
  }
  for (const auto& ip : options.ipAddresses) {
    alternatives += (alternatives.empty() ? "" : ",") + std::string("IP:") + ip;
  }
  if (!alternatives.empty()) {
    addExtension(certificate, signer, NID_subject_alt_name, alternatives);
  }

  check(X509_sign(certificate, signingKey, EVP_sha256()) > 0, "sign");
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  check(length > 0, "der");
  made->der_.assign(der, der + length);
  OPENSSL_free(der);
  return made;
}

TestCertificate::~TestCertificate() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
}

std::string TestCertificate::certificatePEM() const {
  BIO* bio = BIO_new(BIO_s_mem());
  check(PEM_write_bio_X509(bio, certificate_) == 1, "certificate PEM");
  return bioText(bio);
}

std::string TestCertificate::privateKeyPEM() const {
  BIO* bio = BIO_new(BIO_s_mem());
  check(PEM_write_bio_PrivateKey(bio, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1, "key PEM");
  return bioText(bio);
}

std::string TestCertificate::sha256() const { return ManagerTLSPolicy::sha256Hex(der_); }

std::string chainPEM(const std::vector<const TestCertificate*>& chain) {
  std::string pem;
  for (const auto* certificate : chain) pem += certificate->certificatePEM();
  return pem;
}

}  // namespace vantrel::testing

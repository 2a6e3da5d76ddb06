#include "TestCertificateAuthority.hpp"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace vantrel::tools {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("certificate generation failed: ") + what);
}

PKeyPtr newKey() {
  PKeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "EC key");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  check(extension != nullptr, "extension");
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  check(added, "add extension");
}

X509Ptr newCertificate(const std::string& commonName, EVP_PKEY* key, long serial) {
  X509Ptr cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), 2) == 1, "version");
  check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "not before");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600) != nullptr, "not after");
  check(X509_set_pubkey(cert.get(), key) == 1, "public key");
  X509_NAME* name = X509_get_subject_name(cert.get());
  check(
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
      "subject");
  return cert;
}

long nextSerial() {
  static std::atomic<long> serial{1000};
  return serial.fetch_add(1);
}

}  // namespace

std::string Identity::certificatePEM() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  check(bio != nullptr && PEM_write_bio_X509(bio.get(), certificate.get()) == 1, "PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
  root_.key = newKey();
  root_.certificate = newCertificate(commonName, root_.key.get(), nextSerial());
  X509* cert = root_.certificate.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1, "issuer");
  addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(cert, cert, NID_subject_key_identifier, "hash");
  check(X509_sign(cert, root_.key.get(), EVP_sha256()) > 0, "sign root");
}

Identity TestCertificateAuthority::issueServer(const std::vector<std::string>& alternativeNames) const {
  Identity identity;
  identity.key = newKey();
  identity.certificate = newCertificate("Vantrel loopback login server", identity.key.get(), nextSerial());
  X509* cert = identity.certificate.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(root_.certificate.get())) == 1, "issuer");
  std::string names;
  for (const auto& name : alternativeNames) {
    if (!names.empty()) names += ",";
    names += name;
  }
  addExtension(cert, root_.certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert, root_.certificate.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(cert, root_.certificate.get(), NID_ext_key_usage, "serverAuth");
  addExtension(cert, root_.certificate.get(), NID_authority_key_identifier, "keyid:always");
  if (!names.empty()) addExtension(cert, root_.certificate.get(), NID_subject_alt_name, names);
  check(X509_sign(cert, root_.key.get(), EVP_sha256()) > 0, "sign server");
  return identity;
}

}  // namespace vantrel::tools

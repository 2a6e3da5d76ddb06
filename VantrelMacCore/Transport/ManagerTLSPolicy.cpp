#include "Transport/ManagerTLSPolicy.hpp"

#include <asio/ip/address.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <array>

#include "Support/Text.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {
namespace {

constexpr const char* invalidPolicyCode = "invalid_manager_tls_policy";
constexpr const char* invalidAnchorCode = "invalid_enrolled_tls_anchor";

struct X509Free {
  void operator()(X509* x) const noexcept { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// One certificate exactly: bytes after the certificate make the input malformed.
X509Ptr parseSingleDER(ByteView der) {
  if (der.empty()) return nullptr;
  const unsigned char* cursor = der.data();
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate || cursor != der.data() + der.size()) return nullptr;
  return certificate;
}

bool isHexDigit(unsigned char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isIPLiteral(const std::string& name) {
  std::error_code ec;
  (void)asio::ip::make_address(name, ec);
  return !ec;
}

bool isValidServerName(const std::string& name) {
  if (name.empty() || name.size() > ManagerTLSPolicy::maximumServerNameBytes) return false;
  const auto scalars = text::scalars(name);
  if (!scalars) return false;  // not text at all
  for (const char32_t scalar : *scalars) {
    if (text::isWhitespaceOrNewline(scalar) || scalar == U'/' || scalar == U'\0') return false;
  }
  return true;
}

int verifyWithPolicy(X509_STORE_CTX* trust, void* argument) {
  const auto* policy = static_cast<const ManagerTLSPolicy*>(argument);
  if (policy != nullptr && policy->accepts(trust)) return 1;
  if (X509_STORE_CTX_get_error(trust) == X509_V_OK) {
    X509_STORE_CTX_set_error(trust, X509_V_ERR_APPLICATION_VERIFICATION);
  }
  return 0;
}

}  // namespace

ManagerTLSPolicy::ManagerTLSPolicy(std::string serverName, std::string leafCertificateSHA256,
                                   std::optional<Bytes> enrolledAnchorDER) {
  if (!isValidServerName(serverName)) {
    throw NetworkTransportError::connectionFailed(invalidPolicyCode);
  }
  if (leafCertificateSHA256.size() != 64) {
    throw NetworkTransportError::connectionFailed(invalidPolicyCode);
  }
  for (char& c : leafCertificateSHA256) {
    const auto byte = static_cast<unsigned char>(c);
    if (!isHexDigit(byte)) throw NetworkTransportError::connectionFailed(invalidPolicyCode);
    if (byte >= 'A' && byte <= 'F') c = static_cast<char>(byte - 'A' + 'a');
  }
  if (enrolledAnchorDER) {
    if (enrolledAnchorDER->size() > maximumAnchorBytes) {
      throw NetworkTransportError::connectionFailed(invalidAnchorCode);
    }
    if (!parseSingleDER(*enrolledAnchorDER)) {
      throw NetworkTransportError::connectionFailed(invalidAnchorCode);
    }
  }
  serverName_ = std::move(serverName);
  leafCertificateSHA256_ = std::move(leafCertificateSHA256);
  enrolledAnchorDER_ = std::move(enrolledAnchorDER);
}

std::string ManagerTLSPolicy::sha256Hex(ByteView bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  return hexStringLower(ByteView(digest.data(), length));
}

bool ManagerTLSPolicy::accepts(X509_STORE_CTX* trust) const {
  if (trust == nullptr) return false;

  // An enrolled anchor is the only trusted certificate; it need not be self-signed, so a chain
  // that ends at an enrolled intermediate is complete.
  X509StackPtr anchors;
  // The context keeps only a borrowed pointer to the anchor list; detach it before the list dies.
  struct Detach {
    X509_STORE_CTX* trust;
    bool attached = false;
    ~Detach() {
      if (attached) X509_STORE_CTX_set0_trusted_stack(trust, nullptr);
    }
  } detach{trust};
  if (enrolledAnchorDER_) {
    auto anchor = parseSingleDER(*enrolledAnchorDER_);
    if (!anchor) return false;
    anchors.reset(sk_X509_new_null());
    if (!anchors || sk_X509_push(anchors.get(), anchor.get()) <= 0) return false;
    (void)anchor.release();  // the store owns the certificate now
    X509_STORE_CTX_set0_trusted_stack(trust, anchors.get());
    detach.attached = true;
    X509_STORE_CTX_set_flags(trust, X509_V_FLAG_PARTIAL_CHAIN);
  }

  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(trust);
  if (param == nullptr) return false;
  if (X509_STORE_CTX_set_purpose(trust, X509_PURPOSE_SSL_SERVER) != 1) return false;
  if (isIPLiteral(serverName_)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName_.c_str()) != 1) return false;
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(param, serverName_.data(), serverName_.size()) != 1) {
      return false;
    }
  }

  if (X509_verify_cert(trust) != 1) return false;

  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(trust);
  if (chain == nullptr || sk_X509_num(chain) <= 0) return false;
  X509* leaf = sk_X509_value(chain, 0);
  unsigned char* der = nullptr;
  const int length = i2d_X509(leaf, &der);
  if (length <= 0 || der == nullptr) return false;
  const auto digest = sha256Hex(ByteView(der, static_cast<std::size_t>(length)));
  OPENSSL_free(der);
  return !digest.empty() && digest == leafCertificateSHA256_;
}

std::shared_ptr<ManagerTLSOptions> ManagerTLSPolicy::options() const {
  return std::make_shared<ManagerTLSOptions>(*this);
}

ManagerTLSOptions::ManagerTLSOptions(const ManagerTLSPolicy& source)
    : policy(std::make_unique<const ManagerTLSPolicy>(source)), context(asio::ssl::context::tls_client) {
  SSL_CTX* ctx = context.native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (!policy->enrolledAnchorDER()) {
    // Without an enrolled anchor the system's trusted roots decide.
    SSL_CTX_set_default_verify_paths(ctx);
  }
  SSL_CTX_set_cert_verify_callback(ctx, &verifyWithPolicy, const_cast<ManagerTLSPolicy*>(policy.get()));
}

bool ManagerTLSOptions::prepare(SSL* ssl) const {
  if (ssl == nullptr) return false;
  // Server name indication carries host names only; an address literal is verified as an
  // address and not sent.
  if (isIPLiteral(policy->serverName())) return true;
  return SSL_set_tlsext_host_name(ssl, policy->serverName().c_str()) == 1;
}

}  // namespace vantrel

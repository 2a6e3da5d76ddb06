#include <gtest/gtest.h>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "Transport/ManagerTLSPolicy.hpp"
#include "Transport/NetworkTransporting.hpp"
#include "support/TestCertificates.hpp"

namespace vantrel {
namespace {

using testing::TestCertificate;

const std::string pinA(64, 'a');

NetworkTransportError constructionError(std::string serverName, std::string pin,
                                        std::optional<Bytes> anchor) {
  try {
    ManagerTLSPolicy policy(std::move(serverName), std::move(pin), std::move(anchor));
  } catch (const NetworkTransportError& error) {
    return error;
  }
  return NetworkTransportError::connectionFailed("<accepted>");
}

const auto badPolicy = NetworkTransportError::connectionFailed("invalid_manager_tls_policy");
const auto badAnchor = NetworkTransportError::connectionFailed("invalid_enrolled_tls_anchor");
const auto accepted = NetworkTransportError::connectionFailed("<accepted>");

TEST(ManagerTLSPolicyServerName, LengthIsCountedInUTF8Bytes) {
  EXPECT_EQ(constructionError(std::string(253, 'a'), pinA, std::nullopt), accepted);
  EXPECT_EQ(constructionError(std::string(254, 'a'), pinA, std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("", pinA, std::nullopt), badPolicy);
  std::string twoByte;
  for (int i = 0; i < 100; ++i) twoByte += "\u00E9";  // 200 bytes
  EXPECT_EQ(constructionError(twoByte, pinA, std::nullopt), accepted);
  std::string tooLong;
  for (int i = 0; i < 127; ++i) tooLong += "\u00E9";  // 254 bytes, 127 characters
  EXPECT_EQ(constructionError(tooLong, pinA, std::nullopt), badPolicy);
}

TEST(ManagerTLSPolicyServerName, RefusesWhiteSpaceSlashAndNulWithoutTrimming) {
  const std::string refused[] = {
      " manager.example",     "manager.example ", "mana\tger", "manager\n", "a/b",
      std::string("a\0b", 3), "a\u00A0b",         "a\u2028b",  "a\u3000b",  "\xFF\xFE",
  };
  for (const auto& name : refused) {
    EXPECT_EQ(constructionError(name, pinA, std::nullopt), badPolicy) << name;
  }
  ManagerTLSPolicy policy("Manager.Example", pinA, std::nullopt);
  EXPECT_EQ(policy.serverName(), "Manager.Example");
}

TEST(ManagerTLSPolicyPin, NeedsSixtyFourHexDigitsAndIsStoredLowerCase) {
  const std::string refused[] = {
      std::string(63, 'a'),
      std::string(65, 'a'),
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaag",
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\u00E9",  // 65 bytes
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\u00E9",   // 64 bytes, 63 characters
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa ",
  };
  for (const auto& pin : refused) EXPECT_EQ(constructionError("m", pin, std::nullopt), badPolicy) << pin;
  const std::string mixed = "0123456789ABCDEFabcdef0123456789ABCDEFabcdef0123456789ABCDEFabcd";
  ASSERT_EQ(mixed.size(), 64u);
  ManagerTLSPolicy policy("m", mixed, std::nullopt);
  EXPECT_EQ(policy.leafCertificateSHA256(),
            "0123456789abcdefabcdef0123456789abcdefabcdef0123456789abcdefabcd");
}

TEST(ManagerTLSPolicyAnchor, SizeIsCheckedBeforeParsingAndBytesAreKept) {
  auto ca = TestCertificate::make({.commonName = "Anchor", .isCA = true});
  EXPECT_EQ(constructionError("m", pinA, Bytes(16385, 0x30)), badAnchor);
  EXPECT_EQ(constructionError("m", pinA, Bytes{}), badAnchor);
  EXPECT_EQ(constructionError("m", pinA, toBytes("not a certificate")), badAnchor);
  Bytes trailing = ca->der();
  trailing.push_back(0);
  EXPECT_EQ(constructionError("m", pinA, trailing), badAnchor);
  Bytes truncated(ca->der().begin(), ca->der().end() - 1);
  EXPECT_EQ(constructionError("m", pinA, truncated), badAnchor);
  ManagerTLSPolicy policy("m", pinA, ca->der());
  EXPECT_EQ(policy.enrolledAnchorDER(), ca->der());
  EXPECT_EQ(constructionError("m", pinA, std::nullopt), accepted);
}

TEST(ManagerTLSPolicyOrder, ServerNameThenPinThenAnchor) {
  EXPECT_EQ(constructionError("", "bad", Bytes{}), badPolicy);
  EXPECT_EQ(constructionError("m", "bad", Bytes{}), badPolicy);
  EXPECT_EQ(constructionError("m", pinA, Bytes{}), badAnchor);
  EXPECT_EQ(badPolicy.localizedDescription(), "TCP connection failed: invalid_manager_tls_policy");
}

// Runs the trust decision directly on a verification context holding the presented chain.
bool decide(const ManagerTLSPolicy& policy, const std::vector<const TestCertificate*>& presented) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (std::size_t i = 1; i < presented.size(); ++i) sk_X509_push(untrusted, presented[i]->x509());
  EXPECT_EQ(X509_STORE_CTX_init(ctx, store, presented[0]->x509(), untrusted), 1);
  const bool result = policy.accepts(ctx);
  X509_STORE_CTX_free(ctx);
  sk_X509_free(untrusted);
  X509_STORE_free(store);
  return result;
}

TEST(ManagerTLSTrustDecision, NeedsHostPinAndAnchorToAgree) {
  const auto root = TestCertificate::make({.commonName = "Root", .isCA = true});
  const auto mid = TestCertificate::make({.commonName = "Intermediate", .isCA = true}, root.get());
  const auto named = [&](TestCertificate::Options options) {
    return TestCertificate::make(options, mid.get());
  };
  const auto leaf = named({.commonName = "manager.test", .dnsNames = {"manager.test"}});
  const auto renewed = named({.commonName = "manager.test", .dnsNames = {"manager.test"}});
  const auto expired = named({.commonName = "manager.test",
                              .dnsNames = {"manager.test"},
                              .validFromSeconds = -7200,
                              .validUntilSeconds = -3600});
  const auto byAddress = named({.commonName = "loopback", .ipAddresses = {"127.0.0.1"}});
  const auto stranger = TestCertificate::make({.commonName = "Root", .isCA = true});
  struct Row {
    const char* name;
    std::string host;
    const TestCertificate* pinned;
    std::optional<Bytes> anchor;
    std::vector<const TestCertificate*> presented;
    bool accepted;
  };
  const Row rows[] = {
      {"chain to the enrolled root", "manager.test", leaf.get(), root->der(), {leaf.get(), mid.get()}, true},
      {"enrolled intermediate", "manager.test", leaf.get(), mid->der(), {leaf.get()}, true},
      {"wrong host, matching pin", "other.test", leaf.get(), root->der(), {leaf.get(), mid.get()}, false},
      {"anchor not in the chain",
       "manager.test",
       leaf.get(),
       stranger->der(),
       {leaf.get(), mid.get()},
       false},
      {"renewed leaf, old pin", "manager.test", leaf.get(), root->der(), {renewed.get(), mid.get()}, false},
      // The test's own root is not among the trusted roots of the (empty) store.
      {"no anchor", "manager.test", leaf.get(), std::nullopt, {leaf.get(), mid.get(), root.get()}, false},
      {"expired leaf", "manager.test", expired.get(), root->der(), {expired.get(), mid.get()}, false},
      {"address name", "127.0.0.1", byAddress.get(), root->der(), {byAddress.get(), mid.get()}, true},
      {"other address", "127.0.0.2", byAddress.get(), root->der(), {byAddress.get(), mid.get()}, false},
  };
  for (const auto& row : rows) {
    const ManagerTLSPolicy policy(row.host, row.pinned->sha256(), row.anchor);
    EXPECT_EQ(decide(policy, row.presented), row.accepted) << row.name;
  }
}

}  // namespace
}  // namespace vantrel

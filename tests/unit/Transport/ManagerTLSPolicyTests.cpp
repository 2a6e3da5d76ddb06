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
  EXPECT_EQ(constructionError("m", std::string(63, 'a'), std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("m", std::string(65, 'a'), std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("m", std::string(63, 'a') + "g", std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("m", std::string(63, 'a') + "\u00E9", std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("m", std::string(62, 'a') + "\u00E9", std::nullopt), badPolicy);
  EXPECT_EQ(constructionError("m", std::string(63, 'a') + " ", std::nullopt), badPolicy);
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

TEST(ManagerTLSPolicyDigest, RendersSHA256AsLowerCaseHex) {
  // FIPS 180-2 test vector for "abc".
  EXPECT_EQ(ManagerTLSPolicy::sha256Hex(asBytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Runs the trust decision directly on a verification context holding the presented chain.
class TrustDecision : public ::testing::Test {
 protected:
  void SetUp() override {
    root = TestCertificate::make({.commonName = "Root", .isCA = true});
    intermediate = TestCertificate::make({.commonName = "Intermediate", .isCA = true}, root.get());
    leaf = TestCertificate::make({.commonName = "manager.test", .dnsNames = {"manager.test"}},
                                 intermediate.get());
  }

  bool decide(const ManagerTLSPolicy& policy, std::vector<const TestCertificate*> presented) {
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

  std::shared_ptr<TestCertificate> root, intermediate, leaf;
};

TEST_F(TrustDecision, AcceptsChainToEnrolledRootWithMatchingPin) {
  ManagerTLSPolicy policy("manager.test", leaf->sha256(), root->der());
  EXPECT_TRUE(decide(policy, {leaf.get(), intermediate.get()}));
}

TEST_F(TrustDecision, AcceptsAnEnrolledIntermediateAsTheAnchor) {
  ManagerTLSPolicy policy("manager.test", leaf->sha256(), intermediate->der());
  EXPECT_TRUE(decide(policy, {leaf.get()}));
}

TEST_F(TrustDecision, RejectsWrongHostEvenWithMatchingPin) {
  ManagerTLSPolicy policy("other.test", leaf->sha256(), root->der());
  EXPECT_FALSE(decide(policy, {leaf.get(), intermediate.get()}));
}

TEST_F(TrustDecision, RejectsAnchorThatIsNotInTheChain) {
  auto stranger = TestCertificate::make({.commonName = "Root", .isCA = true});
  ManagerTLSPolicy policy("manager.test", leaf->sha256(), stranger->der());
  EXPECT_FALSE(decide(policy, {leaf.get(), intermediate.get()}));
}

TEST_F(TrustDecision, RejectsRenewedLeafWithDifferentPin) {
  auto renewed =
      TestCertificate::make({.commonName = "manager.test", .dnsNames = {"manager.test"}}, intermediate.get());
  ManagerTLSPolicy policy("manager.test", leaf->sha256(), root->der());
  EXPECT_FALSE(decide(policy, {renewed.get(), intermediate.get()}));
  EXPECT_TRUE(decide(policy, {leaf.get(), intermediate.get()}));
}

TEST_F(TrustDecision, UpperCasePinMatches) {
  std::string upper = leaf->sha256();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ManagerTLSPolicy policy("manager.test", upper, root->der());
  EXPECT_TRUE(decide(policy, {leaf.get(), intermediate.get()}));
}

TEST_F(TrustDecision, WithoutAnchorTheSystemRootsDecide) {
  // The test's own root is not among the trusted roots of the (empty) store.
  ManagerTLSPolicy policy("manager.test", leaf->sha256(), std::nullopt);
  EXPECT_FALSE(decide(policy, {leaf.get(), intermediate.get(), root.get()}));
}

TEST_F(TrustDecision, RejectsExpiredLeaf) {
  auto expired = TestCertificate::make({.commonName = "manager.test",
                                        .dnsNames = {"manager.test"},
                                        .validFromSeconds = -7200,
                                        .validUntilSeconds = -3600},
                                       intermediate.get());
  ManagerTLSPolicy policy("manager.test", expired->sha256(), root->der());
  EXPECT_FALSE(decide(policy, {expired.get(), intermediate.get()}));
}

TEST_F(TrustDecision, AddressLiteralIsVerifiedAgainstAddressNames) {
  auto byAddress =
      TestCertificate::make({.commonName = "loopback", .ipAddresses = {"127.0.0.1"}}, intermediate.get());
  ManagerTLSPolicy good("127.0.0.1", byAddress->sha256(), root->der());
  EXPECT_TRUE(decide(good, {byAddress.get(), intermediate.get()}));
  ManagerTLSPolicy wrong("127.0.0.2", byAddress->sha256(), root->der());
  EXPECT_FALSE(decide(wrong, {byAddress.get(), intermediate.get()}));
}

}  // namespace
}  // namespace vantrel

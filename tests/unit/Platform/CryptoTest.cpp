#include <gtest/gtest.h>

#include "Platform/System/Crypto.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {
namespace {

Bytes hexBytes(std::string_view hex) {
  auto bytes = bytesFromHex(hex);
  EXPECT_TRUE(bytes.has_value()) << hex;
  return bytes.value_or(Bytes{});
}

TEST(Sha256, KnownVectors) {
  struct Case {
    std::string input;
    std::string digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    const auto digest = crypto::sha256(asBytes(c.input));
    EXPECT_EQ(hexStringLower(digest), c.digest) << c.input;
  }
}

TEST(AesGcm, MatchesPublishedVectorsForZeroKey) {
  const Bytes key(32, 0);
  const Bytes nonce(12, 0);
  // Empty plaintext: only the tag.
  EXPECT_EQ(hexStringLower(crypto::aesGcmSeal(key, nonce, {}, {})), "530f8afbc74536b9a963b4f1c4cb738b");
  // One zero block.
  const Bytes block(16, 0);
  EXPECT_EQ(hexStringLower(crypto::aesGcmSeal(key, nonce, block, {})),
            "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919");
  const auto opened = crypto::aesGcmOpen(
      key, nonce, hexBytes("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"), {});
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, block);
}

TEST(AesGcm, RoundTripBindsKeyNonceAndAssociatedData) {
  const auto key = crypto::randomBytes(32);
  const auto nonce = crypto::randomBytes(12);
  const auto aad = toBytes("namespace/account");
  const auto message = toBytes("correct horse battery staple");
  const auto sealed = crypto::aesGcmSeal(key, nonce, message, aad);
  ASSERT_EQ(sealed.size(), message.size() + crypto::aesGcmTagSize);
  EXPECT_EQ(crypto::aesGcmOpen(key, nonce, sealed, aad), message);

  auto otherKey = key;
  otherKey[0] ^= 1;
  EXPECT_FALSE(crypto::aesGcmOpen(otherKey, nonce, sealed, aad));
  auto otherNonce = nonce;
  otherNonce[11] ^= 0x80;
  EXPECT_FALSE(crypto::aesGcmOpen(key, otherNonce, sealed, aad));
  EXPECT_FALSE(crypto::aesGcmOpen(key, nonce, sealed, toBytes("namespace/other")));
  EXPECT_FALSE(crypto::aesGcmOpen(key, nonce, sealed, {}));
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    auto tampered = sealed;
    tampered[i] ^= 0x01;
    EXPECT_FALSE(crypto::aesGcmOpen(key, nonce, tampered, aad)) << "byte " << i;
  }
  EXPECT_FALSE(crypto::aesGcmOpen(key, nonce, ByteView(sealed).first(15), aad));
  EXPECT_FALSE(crypto::aesGcmOpen(key, nonce, ByteView(sealed).first(sealed.size() - 1), aad));
}

TEST(AesGcm, RejectsWrongKeyAndNonceSizes) {
  EXPECT_THROW(crypto::aesGcmSeal(Bytes(16, 0), Bytes(12, 0), {}, {}), crypto::CryptoError);
  EXPECT_THROW(crypto::aesGcmSeal(Bytes(32, 0), Bytes(16, 0), {}, {}), crypto::CryptoError);
  EXPECT_THROW(crypto::aesGcmOpen(Bytes(31, 0), Bytes(12, 0), Bytes(16, 0), {}), crypto::CryptoError);
}

}  // namespace
}  // namespace vantrel

#pragma once

// Ed25519 over update feeds and archives (OpenSSL), and the signed-feed envelope: the feed's
// exact bytes followed by one trailing comment that carries their signature.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::update_signature {

inline constexpr std::size_t publicKeySize = 32;
inline constexpr std::size_t privateKeySize = 32;  // the seed
inline constexpr std::size_t signatureSize = 64;
inline constexpr std::string_view feedTrailerPrefix = "<!-- vantrel-feed-signature: ";
inline constexpr std::string_view feedTrailerSuffix = " -->";

struct KeyPair {
  Bytes privateKey;
  Bytes publicKey;
};

KeyPair generateKeyPair();
Bytes publicKeyOf(ByteView privateKey);
Bytes sign(ByteView privateKey, ByteView message);
bool verify(ByteView publicKey, ByteView message, ByteView signature);

// Signs or verifies a whole file, mapped into memory (never copied). Verification is false for
// an unreadable file; signing throws std::runtime_error.
Bytes signFile(ByteView privateKey, const std::filesystem::path& file);
bool verifyDescriptor(ByteView publicKey, int fd, ByteView signature);

enum class FeedFailure { missingSignature, malformedSignature, badSignature };

// The body of a signed feed when its trailer verifies under `publicKey`, else the failure. The
// trailer must be the last thing in the document (one final line break allowed after it).
struct FeedVerification {
  std::optional<std::string_view> body;
  FeedFailure failure = FeedFailure::missingSignature;
};
FeedVerification verifyFeed(std::string_view document, ByteView publicKey);

// The body followed by its signature trailer and a line break.
std::string signFeed(std::string_view body, ByteView privateKey);

}  // namespace vantrel::update_signature

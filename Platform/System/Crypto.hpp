#pragma once

// Cryptographic building blocks over OpenSSL's EVP interface: AES-256-GCM, SHA-256 and random
// bytes. Small and general on purpose; stores and protocols compose them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel::crypto {

inline constexpr std::size_t aesGcmKeySize = 32;
inline constexpr std::size_t aesGcmNonceSize = 12;
inline constexpr std::size_t aesGcmTagSize = 16;
inline constexpr std::size_t sha256Size = 32;

using Sha256Digest = std::array<std::uint8_t, sha256Size>;

// A failure of the cryptographic library itself (not a failed authentication, which is an
// empty result of `aesGcmOpen`).
class CryptoError : public Error {
 public:
  explicit CryptoError(std::string detail) : detail_(std::move(detail)) {}
  std::optional<std::string> errorDescription() const override {
    return "Cryptographic operation failed: " + detail_;
  }
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

// Bytes from the operating system's random source.
Bytes randomBytes(std::size_t count);

Sha256Digest sha256(ByteView data);

// AES-256-GCM with a 12-byte nonce: returns ciphertext followed by the 16-byte tag.
// Throws `CryptoError` for a key or nonce of the wrong size.
Bytes aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData);

// Opens what `aesGcmSeal` produced; nullopt when the tag does not authenticate the ciphertext,
// the associated data or the key (or the input is shorter than a tag).
std::optional<Bytes> aesGcmOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData);

}  // namespace vantrel::crypto

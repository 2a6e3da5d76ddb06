#include "Platform/System/Crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace vantrel::crypto {
namespace {

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

[[noreturn]] void fail(const char* what) {
  const unsigned long code = ERR_get_error();
  std::string detail = what;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    detail += ": ";
    detail += buffer;
  }
  ERR_clear_error();
  throw CryptoError(detail);
}

int checkedLength(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) throw CryptoError("input too large");
  return static_cast<int>(size);
}

CipherContext gcmContext(ByteView key, ByteView nonce, bool encrypt) {
  if (key.size() != aesGcmKeySize) throw CryptoError("AES-256-GCM needs a 32-byte key");
  if (nonce.size() != aesGcmNonceSize) throw CryptoError("AES-GCM needs a 12-byte nonce");
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) fail("EVP_CIPHER_CTX_new");
  if (EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(aesGcmNonceSize),
                          nullptr) != 1 ||
      EVP_CipherInit_ex(context.get(), nullptr, nullptr, key.data(), nonce.data(), encrypt ? 1 : 0) != 1) {
    fail("AES-GCM initialisation");
  }
  return context;
}

}  // namespace

Bytes randomBytes(std::size_t count) {
  Bytes bytes(count);
  if (count > 0 && RAND_bytes(bytes.data(), checkedLength(count)) != 1) fail("RAND_bytes");
  return bytes;
}

Sha256Digest sha256(ByteView data) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != sha256Size) {
    fail("SHA-256");
  }
  return digest;
}

Bytes aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData) {
  auto context = gcmContext(key, nonce, true);
  int length = 0;
  if (!associatedData.empty() && EVP_EncryptUpdate(context.get(), nullptr, &length, associatedData.data(),
                                                   checkedLength(associatedData.size())) != 1) {
    fail("AES-GCM associated data");
  }
  Bytes sealed(plaintext.size() + aesGcmTagSize);
  int written = 0;
  if (!plaintext.empty()) {
    if (EVP_EncryptUpdate(context.get(), sealed.data(), &length, plaintext.data(),
                          checkedLength(plaintext.size())) != 1) {
      fail("AES-GCM encryption");
    }
    written = length;
  }
  if (EVP_EncryptFinal_ex(context.get(), sealed.data() + written, &length) != 1) fail("AES-GCM final");
  written += length;
  if (static_cast<std::size_t>(written) != plaintext.size()) throw CryptoError("AES-GCM length mismatch");
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(aesGcmTagSize),
                          sealed.data() + written) != 1) {
    fail("AES-GCM tag");
  }
  return sealed;
}

std::optional<Bytes> aesGcmOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData) {
  if (sealed.size() < aesGcmTagSize) return std::nullopt;
  auto context = gcmContext(key, nonce, false);
  const auto cipherSize = sealed.size() - aesGcmTagSize;
  int length = 0;
  if (!associatedData.empty() && EVP_DecryptUpdate(context.get(), nullptr, &length, associatedData.data(),
                                                   checkedLength(associatedData.size())) != 1) {
    fail("AES-GCM associated data");
  }
  Bytes plaintext(cipherSize);
  int written = 0;
  if (cipherSize > 0) {
    if (EVP_DecryptUpdate(context.get(), plaintext.data(), &length, sealed.data(),
                          checkedLength(cipherSize)) != 1) {
      fail("AES-GCM decryption");
    }
    written = length;
  }
  Bytes tag(sealed.begin() + static_cast<std::ptrdiff_t>(cipherSize), sealed.end());
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(aesGcmTagSize), tag.data()) !=
      1) {
    fail("AES-GCM tag");
  }
  if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + written, &length) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  return plaintext;
}

}  // namespace vantrel::crypto

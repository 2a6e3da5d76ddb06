#include "Platform/Update/UpdateFrameworkSignature.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>

#include "Support/Uuid.hpp"
#include "Update/UpdateEncoding.hpp"

namespace vantrel::update_signature {
namespace {

struct PKeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdDeleter {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyDeleter>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdDeleter>;

PKey privateKeyFrom(ByteView seed) {
  if (seed.size() != privateKeySize) throw std::runtime_error("an Ed25519 private key has 32 bytes");
  PKey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key) throw std::runtime_error("OpenSSL refused the Ed25519 private key");
  return key;
}

// A read-only mapping of a whole file.
class Mapping {
 public:
  explicit Mapping(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ == 0) {
      valid_ = true;
      return;
    }
    void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) return;
    ::madvise(address, size_, MADV_SEQUENTIAL);
    data_ = static_cast<const std::uint8_t*>(address);
    valid_ = true;
  }
  ~Mapping() {
    if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  bool valid() const noexcept { return valid_; }
  ByteView bytes() const noexcept { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool valid_ = false;
};

}  // namespace

KeyPair generateKeyPair() {
  KeyPair pair;
  pair.privateKey.resize(privateKeySize);
  secureRandomBytes(pair.privateKey.data(), pair.privateKey.size());
  pair.publicKey = publicKeyOf(pair.privateKey);
  return pair;
}

Bytes publicKeyOf(ByteView privateKey) {
  const auto key = privateKeyFrom(privateKey);
  Bytes out(publicKeySize);
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 || length != publicKeySize) {
    throw std::runtime_error("OpenSSL could not derive the Ed25519 public key");
  }
  return out;
}

Bytes sign(ByteView privateKey, ByteView message) {
  const auto key = privateKeyFrom(privateKey);
  MdContext ctx(EVP_MD_CTX_new());
  Bytes signature(signatureSize);
  std::size_t length = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
      length != signatureSize) {
    throw std::runtime_error("OpenSSL could not make an Ed25519 signature");
  }
  return signature;
}

bool verify(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != publicKeySize || signature.size() != signatureSize) return false;
  PKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  MdContext ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

Bytes signFile(ByteView privateKey, const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + file.string());
  Mapping mapping(fd);
  ::close(fd);
  if (!mapping.valid()) throw std::runtime_error("cannot map " + file.string());
  return sign(privateKey, mapping.bytes());
}

bool verifyDescriptor(ByteView publicKey, int fd, ByteView signature) {
  Mapping mapping(fd);
  return mapping.valid() && verify(publicKey, mapping.bytes(), signature);
}

FeedVerification verifyFeed(std::string_view document, ByteView publicKey) {
  FeedVerification result;
  const auto start = document.rfind(feedTrailerPrefix);
  if (start == std::string_view::npos) return result;
  auto trailer = document.substr(start + feedTrailerPrefix.size());
  if (!trailer.empty() && trailer.back() == '\n') trailer.remove_suffix(1);
  result.failure = FeedFailure::malformedSignature;
  if (trailer.size() < feedTrailerSuffix.size() ||
      trailer.substr(trailer.size() - feedTrailerSuffix.size()) != feedTrailerSuffix) {
    return result;
  }
  trailer.remove_suffix(feedTrailerSuffix.size());
  const auto signature = update_encoding::decodeBase64(trailer);
  if (!signature || signature->size() != signatureSize) return result;
  const auto body = document.substr(0, start);
  result.failure = FeedFailure::badSignature;
  if (!verify(publicKey, asBytes(body), *signature)) return result;
  result.body = body;
  return result;
}

std::string signFeed(std::string_view body, ByteView privateKey) {
  const auto signature = sign(privateKey, asBytes(body));
  std::string out(body);
  out += feedTrailerPrefix;
  out += update_encoding::encodeBase64(signature);
  out += feedTrailerSuffix;
  out += '\n';
  return out;
}

}  // namespace vantrel::update_signature

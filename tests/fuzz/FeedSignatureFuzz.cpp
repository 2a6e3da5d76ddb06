// Feeds arbitrary bytes to the signed-feed envelope reader under a fixed key. A document it
// accepts must be exactly a body the key signed followed by its trailer; the body it returns
// lies inside the document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/Update/UpdateFrameworkSignature.hpp"

using namespace vantrel;

namespace {
const update_signature::KeyPair& keys() {
  static const auto pair = [] {
    Bytes seed(update_signature::privateKeySize);
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return update_signature::KeyPair{seed, update_signature::publicKeyOf(seed)};
  }();
  return pair;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Odd first byte: the input is a body, signed here and then damaged at one byte; otherwise
  // the input is the whole document.
  std::string document;
  if (data[0] & 1) {
    document = update_signature::signFeed(input, keys().privateKey);
    if (!update_signature::verifyFeed(document, keys().publicKey).body) std::abort();
    const auto at = (static_cast<std::size_t>(data[0]) * 131) % document.size();
    document[at] = static_cast<char>(document[at] ^ 0x20);
  } else {
    document.assign(input);
  }
  const auto result = update_signature::verifyFeed(document, keys().publicKey);
  if (result.body) {
    const auto* begin = document.data();
    if (result.body->data() < begin || result.body->data() + result.body->size() > begin + document.size()) {
      std::abort();
    }
  }
  return 0;
}

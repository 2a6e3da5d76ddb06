// Feeds arbitrary bytes to the relay message reader in pieces whose size comes from the input,
// and decodes every body (and the raw input) both as a request and as a reply. Whatever decodes
// must encode back to exactly the bytes it came from; the reader's buffer stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Platform/Relay/RelayIPCMessage.hpp"

using namespace vantrel;
using namespace vantrel::relayipc;

namespace {

Bytes framed(ByteView body) {
  ByteWriter writer;
  writer.u32be(static_cast<std::uint32_t>(body.size())).bytes(body);
  return std::move(writer).take();
}

void checkBody(ByteView body) {
  if (const auto request = decodeRequest(body)) {
    const auto encoded = encode(*request);
    if (!encoded || *encoded != framed(body)) std::abort();
    if (decodeRequest(ByteView(*encoded).subspan(lengthPrefixSize)) != request) std::abort();
  }
  if (const auto reply = decodeReply(body)) {
    const auto encoded = encode(*reply);
    if (!encoded || *encoded != framed(body)) std::abort();
    if (decodeReply(ByteView(*encoded).subspan(lengthPrefixSize)) != reply) std::abort();
    if (reply->data && reply->operation != Operation::receive) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = 1 + data[0];
  ByteView rest(data + 1, size - 1);
  checkBody(rest);

  MessageReader reader;
  while (!rest.empty()) {
    const auto n = std::min(step, rest.size());
    const bool accepted = reader.append(rest.first(n));
    if (accepted == reader.failed()) std::abort();
    while (auto body = reader.next()) {
      if (body->empty() || body->size() > maximumBodySize) std::abort();
      checkBody(*body);
    }
    if (reader.bufferedByteCount() > maximumBodySize + lengthPrefixSize + step) std::abort();
    if (reader.failed()) {
      if (reader.append(ByteView()) || reader.next()) std::abort();  // failed stays failed
      break;
    }
    rest = rest.subspan(n);
  }
  return 0;
}

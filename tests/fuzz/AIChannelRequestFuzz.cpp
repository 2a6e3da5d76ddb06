// Feeds arbitrary bytes to the development channel's request parser (behind a valid prefix half
// of the time) and checks its promises: it never throws, refusals carry a known code, accepted
// requests have an ID of 1…128 bytes, and nothing over the size limit is accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "AIChannel/AIChannelRequest.hpp"
#include "AIChannel/AIWire.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Bytes envelope;
  if (data[0] & 1) append(envelope, AIWire::prefix());
  append(envelope, ByteView(data + 1, size - 1));

  const auto result = AIChannelRequest::parse(envelope);
  if (const auto* request = std::get_if<AIChannelRequest>(&result)) {
    if (request->id.empty() || request->id.size() > AIChannelRequest::maximumIDBytes) std::abort();
    if (envelope.size() > AIChannelRequest::maximumSize) std::abort();
    if (!AIWire::hasPrefix(envelope)) std::abort();
  } else {
    const auto& refusal = std::get<AIChannelRequest::Refusal>(result);
    if (refusal.code != "request_too_large" && refusal.code != "malformed_request" &&
        refusal.code != "invalid_request_id" && refusal.code != "internal_error") {
      std::abort();
    }
  }
  return 0;
}

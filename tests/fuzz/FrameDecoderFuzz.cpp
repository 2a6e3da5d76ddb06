// Feeds arbitrary bytes to the stream decoder in pieces whose sizes come from the input, and
// checks the decoder's invariants: frames are well formed, the buffer stays within its limit,
// and a thrown error repeats until reset.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/VantrelFrameStreamDecoder.hpp"
#include "Protocol/VantrelProtocol.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t limit = 1 + (static_cast<std::size_t>(data[0]) << 9);  // 1 … 130,561
  const std::size_t step = 1 + data[1];
  VantrelFrameStreamDecoder decoder(limit);
  ByteView rest(data + 2, size - 2);
  while (!rest.empty()) {
    const auto n = std::min(step, rest.size());
    try {
      const auto frames = decoder.append(rest.first(n));
      for (const auto& frame : frames) {
        if (frame.payload.size() != frame.header.chunkSize) std::abort();
        if (frame.header.numChunks == 0 || frame.header.sequenceNumber >= frame.header.numChunks)
          std::abort();
        if (frame.payload.size() > VantrelProtocol::maxChunkPayloadSize) std::abort();
      }
      if (decoder.bufferedByteCount() > limit) std::abort();
    } catch (const VantrelFrameError& first) {
      const auto before = decoder.bufferedByteCount();
      try {
        (void)decoder.append(ByteView());
        std::abort();  // the same error must come back
      } catch (const VantrelFrameError& again) {
        if (!(again == first)) std::abort();
      }
      if (decoder.bufferedByteCount() != before) std::abort();
      decoder.reset();
    }
    rest = rest.subspan(n);
  }
  return 0;
}

// Arbitrary manager bytes through the stream decoder and the message joiner: nothing crashes,
// a served message never exceeds the limit, and what is collected stays bounded.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/VantrelFrameStreamDecoder.hpp"
#include "Session/ManagerMessageJoiner.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantrel::VantrelFrameStreamDecoder decoder;
  vantrel::ManagerMessageJoiner joiner;
  // Feed in pieces whose sizes come from the input itself, as reads of a socket would.
  std::size_t offset = 0;
  while (offset < size) {
    const std::size_t piece = 1 + (data[offset] % 97);
    const std::size_t take = piece < size - offset ? piece : size - offset;
    std::vector<vantrel::VantrelFrame> frames;
    try {
      frames = decoder.append(vantrel::ByteView(data + offset, take));
    } catch (...) {
      return 0;  // the session ends here
    }
    offset += take;
    for (auto& frame : frames) {
      auto step = joiner.push(std::move(frame));
      if (step.ready && step.ready->payload.size() > vantrel::ManagerMessageJoiner::maximumMessageBytes)
        std::abort();
      if (joiner.collectedBytes() > vantrel::ManagerMessageJoiner::maximumMessageBytes) std::abort();
    }
  }
  return 0;
}

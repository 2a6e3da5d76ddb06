// Feeds arbitrary bytes to the update-resume record decoder. A record it accepts encodes and
// decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Update/UpdateResumeStore.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto intent = UpdateResumeIntent::decode(ByteView(data, size));
  if (!intent) return 0;
  const auto again = UpdateResumeIntent::decode(asBytes(intent->encode()));
  if (!again || again->expectedBuild != intent->expectedBuild || again->id != intent->id) std::abort();
  return 0;
}

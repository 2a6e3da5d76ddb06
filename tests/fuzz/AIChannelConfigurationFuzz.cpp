// Feeds arbitrary bytes to the development channel's configuration decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "AIChannel/AIChannelConfiguration.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto configuration = AIChannelConfiguration::decode(text);
  if (configuration && size > 0 && text.find('{') == std::string_view::npos) std::abort();
  return 0;
}

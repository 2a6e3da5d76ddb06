// Feeds arbitrary bytes to the manager route cache decoder. A cache it decodes encodes and
// decodes back to itself, and its acceptance check never fails on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Model/Connection/ManagerRouteCache.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto cache = ManagerRouteCache::decode(ByteView(data, size));
  if (!cache) return 0;
  (void)cache->isAcceptable();
  for (const auto& route : cache->routes) (void)route.connectionHosts();
  const auto encoded = cache->encode();
  if (!encoded) return 0;  // a text that is not valid UTF-8 is not written
  const auto again = ManagerRouteCache::decode(asBytes(*encoded));
  if (!again || !(*again == *cache)) std::abort();
  return 0;
}

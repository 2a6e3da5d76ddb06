// Feeds arbitrary bytes to the login-answer parser and the connection-file decoder. Both must
// either succeed with values inside their documented ranges or throw their own error.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "Account/AccountLoginTypes.hpp"
#include "Account/SystemConnectionConfiguration.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto result = vantrel::parseAccountLoginAnswer(200, text);
    if (result.assignedSlot < 1 || result.assignedSlot > 65536 || result.routes.size() > 5) std::abort();
    std::set<int> indices;
    for (const auto& route : result.routes) {
      if (route.managerIndex < 1 || route.managerIndex > 5 || route.port == 0) std::abort();
      if (!indices.insert(route.managerIndex).second) std::abort();
      (void)route.connectionHosts();
    }
  } catch (const vantrel::AccountLoginError&) {
  }
  try {
    (void)vantrel::SystemConnectionConfiguration::decode(text);
  } catch (const vantrel::ConfigurationDecodingError&) {
  }
  return 0;
}

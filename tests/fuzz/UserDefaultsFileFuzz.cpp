// Feeds arbitrary bytes to the settings file's decoder, then does what the program does with a
// store it accepted: every typed read of every key, and the writer's serialisation. A refusal
// must carry its reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Model/Settings/UserDefaults.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  auto decoded = JSONFileUserDefaults::decodeFile(text, reason);
  if (!decoded) {
    if (reason.empty()) std::abort();
    return 0;
  }
  if (!decoded->is_object()) std::abort();
  InMemoryUserDefaults defaults(*decoded);
  for (const auto& [key, value] : decoded->items()) {
    (void)defaults.value(key);
    (void)defaults.storedString(key);
    (void)defaults.storedInteger(key);
    (void)defaults.unsignedInteger(key);
    (void)defaults.data(key);
    (void)UserDefaults::integerValue(value);
    (void)UserDefaults::decodeDataValue(value);
  }
  // What the writer thread saves, and what the next start reads back.
  const auto saved = defaults.snapshot().dump(-1, ' ', false, UserDefaults::Value::error_handler_t::replace);
  std::string again;
  if (!JSONFileUserDefaults::decodeFile(saved, again)) std::abort();
  return 0;
}

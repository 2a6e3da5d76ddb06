#include "AIChannel/AIWire.hpp"

#include <nlohmann/json.hpp>

namespace vantrel::AIWire {

Bytes encode(const nlohmann::json& object) {
  // Text that is not UTF-8 (a host name read from elsewhere) is replaced, never a reason to fail.
  const auto body = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  Bytes envelope(prefixText.size() + body.size());
  std::copy(prefixText.begin(), prefixText.end(), envelope.begin());
  std::copy(body.begin(), body.end(), envelope.begin() + static_cast<std::ptrdiff_t>(prefixText.size()));
  return envelope;
}

}  // namespace vantrel::AIWire

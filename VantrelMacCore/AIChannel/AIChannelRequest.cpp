#include "AIChannel/AIChannelRequest.hpp"

#include <nlohmann/json.hpp>

#include <string_view>

#include "AIChannel/AIWire.hpp"
#include "Support/JSONNesting.hpp"

namespace vantrel {

std::variant<AIChannelRequest, AIChannelRequest::Refusal> AIChannelRequest::parse(
    ByteView envelope) noexcept {
  try {
    if (envelope.size() > maximumSize) return Refusal{"request_too_large", ""};
    if (!AIWire::hasPrefix(envelope)) return Refusal{"malformed_request", ""};
    const std::string_view body(reinterpret_cast<const char*>(envelope.data()) + AIWire::prefixText.size(),
                                envelope.size() - AIWire::prefixText.size());
    if (!jsonNestingWithin(body, maximumJSONDepth)) return Refusal{"malformed_request", ""};
    const auto document = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return Refusal{"malformed_request", ""};

    const auto id = document.find("id");
    if (id == document.end() || !id->is_string()) return Refusal{"invalid_request_id", ""};
    const auto& idText = id->get_ref<const std::string&>();
    if (idText.empty() || idText.size() > maximumIDBytes) return Refusal{"invalid_request_id", ""};

    const auto command = document.find("command");
    if (command == document.end() || !command->is_string()) return Refusal{"malformed_request", idText};
    return AIChannelRequest{idText, command->get<std::string>()};
  } catch (...) {
    // Only an allocation failure can get here.
    return Refusal{"internal_error", ""};
  }
}

}  // namespace vantrel

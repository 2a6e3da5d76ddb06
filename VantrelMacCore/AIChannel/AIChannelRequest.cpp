#include "AIChannel/AIChannelRequest.hpp"

#include <nlohmann/json.hpp>

#include <string_view>

#include "AIChannel/AIWire.hpp"

namespace vantrel {
namespace {

// Whether the JSON text nests no deeper than `limit`, counting brackets outside strings. Checked
// before parsing so that a request of nothing but brackets costs no deep structure.
bool nestingWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::variant<AIChannelRequest, AIChannelRequest::Refusal> AIChannelRequest::parse(
    ByteView envelope) noexcept {
  try {
    if (envelope.size() > maximumSize) return Refusal{"request_too_large", ""};
    if (!AIWire::hasPrefix(envelope)) return Refusal{"malformed_request", ""};
    const std::string_view body(reinterpret_cast<const char*>(envelope.data()) + AIWire::prefixText.size(),
                                envelope.size() - AIWire::prefixText.size());
    if (!nestingWithin(body, maximumJSONDepth)) return Refusal{"malformed_request", ""};
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

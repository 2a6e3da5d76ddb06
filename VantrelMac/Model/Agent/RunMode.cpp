#include "Model/Agent/RunMode.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace vantrel {

bool containsSwitch(const std::vector<std::string>& arguments, std::string_view switchText) {
  return std::any_of(arguments.begin(), arguments.end(),
                     [&](const std::string& a) { return a == switchText; });
}

RunMode decideRunMode(const std::vector<std::string>& arguments) {
  if (containsSwitch(arguments, diagnosticsTestSwitch)) return RunMode::diagnosticsTest;
  if (containsSwitch(arguments, sessionAgentSwitch)) return RunMode::sessionAgent;
  return RunMode::interactive;
}

bool needsWidgets(RunMode mode) noexcept { return mode == RunMode::interactive; }

std::string describeArguments(const std::vector<std::string>& arguments) {
  std::string out = "[";
  bool first = true;
  for (const auto& argument : arguments) {
    if (!first) out += ", ";
    first = false;
    out.push_back('"');
    for (const char c : argument) {
      const auto byte = static_cast<unsigned char>(c);
      switch (c) {
        case '\0': out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            out += fmt::format("\\u{{{:x}}}", byte);
          } else {
            out.push_back(c);
          }
      }
    }
    out.push_back('"');
  }
  out.push_back(']');
  return out;
}

std::string mainStartedLogLine(const std::vector<std::string>& arguments) {
  return "VantrelMac main started with arguments: " + describeArguments(arguments);
}

std::vector<std::string> argumentVector(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  if (argc <= 0 || argv == nullptr) return arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
  return arguments;
}

}  // namespace vantrel

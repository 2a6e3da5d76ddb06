#pragma once

// The program's three ways to start, decided from the process arguments alone.

#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

enum class RunMode {
  interactive,      // the tray application with its status window
  sessionAgent,     // windowless: one manager session through the relay daemon
  diagnosticsTest,  // the QA diagnostics run, no delegate, no window
};

inline constexpr std::string_view sessionAgentSwitch = "--session-agent";
inline constexpr std::string_view diagnosticsTestSwitch = "--ai-diagnostics-test";

// True when some element of the whole vector (the program path included) equals the switch
// exactly: no case folding, no "=value" form.
bool containsSwitch(const std::vector<std::string>& arguments, std::string_view switchText);

// The diagnostics switch wins over the session-agent switch.
RunMode decideRunMode(const std::vector<std::string>& arguments);

// Whether the mode runs a widget application (and so opens the display) or a windowless one.
bool needsWidgets(RunMode mode) noexcept;

// The argument vector written the way the start line has always shown it: brackets, each element
// in double quotes with `"`, `'`, `\` and control characters escaped, ", " between elements.
std::string describeArguments(const std::vector<std::string>& arguments);

// "VantrelMac main started with arguments: [...]"
std::string mainStartedLogLine(const std::vector<std::string>& arguments);

// The process's arguments as text (argv[0] included).
std::vector<std::string> argumentVector(int argc, const char* const* argv);

}  // namespace vantrel

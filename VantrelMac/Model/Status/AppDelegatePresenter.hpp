#pragma once

// The application delegate's decisions, without a toolkit: the open request, the reopen answer,
// and the hand-over a second launch sends to the running instance.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::AppDelegatePresenter {

inline constexpr std::string_view sessionAgentSwitch = "--session-agent";
inline constexpr std::string_view ignoredOpenResourceLine = "VantrelMac ignored unsupported open resource";

// Exact element equality against the switch.
bool isSessionAgent(const std::vector<std::string>& arguments);

enum class OpenOutcome { showAndRequestAutomaticLogin, ignored };

// Session-agent mode ignores every request without looking at it; the interactive mode accepts
// only the opening of the start-up resource inside the resource directory.
OpenOutcome openRequest(const std::vector<std::string>& urls, bool sessionAgent,
                        const std::optional<std::filesystem::path>& resourceDirectory);

// Reopen with no visible window shows it; the session agent answers false and shows nothing.
struct ReopenAnswer {
  bool show = false;
  bool answer = false;
};
ReopenAnswer reopen(bool sessionAgent, bool hasVisibleWindows);

// What a second launch hands to the running instance: its arguments and its working folder.
struct HandOver {
  std::vector<std::string> arguments;
  std::string workingDirectory;

  friend bool operator==(const HandOver&, const HandOver&) = default;
};

inline constexpr std::size_t maximumHandOverSize = 64 * 1024;

std::string encodeHandOver(const HandOver& handOver);
// nullopt for anything that is not a well-formed hand-over within the size limit.
std::optional<HandOver> decodeHandOver(std::string_view bytes);

// The items a hand-over asks to open: every argument after the first that is not a switch
// ("-…", "ALogin" in any case), as a file URL; relative paths count from the sender's folder.
std::vector<std::string> openItems(const HandOver& handOver);

// "file://" and the absolute path, percent-encoded except for unreserved characters and '/'.
std::string fileURL(const std::string& absolutePath);

// The single-instance socket: in the user's runtime folder when there is one, else in /tmp with
// the user id in its name.
std::string instanceSocketPath(std::string_view bundleIdentifier, unsigned userID,
                               const std::optional<std::string>& runtimeDirectory);

}  // namespace vantrel::AppDelegatePresenter

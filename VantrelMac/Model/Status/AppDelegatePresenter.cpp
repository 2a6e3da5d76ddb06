#include "Model/Status/AppDelegatePresenter.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "Account/StartupLoginIntent.hpp"
#include "Support/JSONNesting.hpp"
#include "Support/Text.hpp"

namespace vantrel::AppDelegatePresenter {

bool isSessionAgent(const std::vector<std::string>& arguments) {
  return std::find(arguments.begin(), arguments.end(), sessionAgentSwitch) != arguments.end();
}

OpenOutcome openRequest(const std::vector<std::string>& urls, bool sessionAgent,
                        const std::optional<std::filesystem::path>& resourceDirectory) {
  if (sessionAgent) return OpenOutcome::ignored;
  return StartupLoginIntent::accepts(urls, resourceDirectory) ? OpenOutcome::showAndRequestAutomaticLogin
                                                              : OpenOutcome::ignored;
}

ReopenAnswer reopen(bool sessionAgent, bool hasVisibleWindows) {
  if (sessionAgent) return {false, false};
  return {!hasVisibleWindows, true};
}

std::string encodeHandOver(const HandOver& handOver) {
  nlohmann::json json;
  json["arguments"] = handOver.arguments;
  json["workingDirectory"] = handOver.workingDirectory;
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<HandOver> decodeHandOver(std::string_view bytes) {
  if (bytes.size() > maximumHandOverSize || !jsonNestingWithin(bytes)) return std::nullopt;
  const auto json = nlohmann::json::parse(bytes, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto arguments = json.find("arguments");
  const auto folder = json.find("workingDirectory");
  if (arguments == json.end() || !arguments->is_array() || folder == json.end() || !folder->is_string()) {
    return std::nullopt;
  }
  HandOver handOver;
  for (const auto& argument : *arguments) {
    if (!argument.is_string()) return std::nullopt;
    handOver.arguments.push_back(argument.get<std::string>());
  }
  handOver.workingDirectory = folder->get<std::string>();
  return handOver;
}

namespace {
bool isSwitch(const std::string& argument) {
  if (argument.empty() || argument.front() == '-') return true;
  return text::caseInsensitiveEquals(argument, "ALogin");
}

// The path an argument names, standardised. The folder it is in is resolved, since the installed
// program's resources are reached through the "current" link while the program finds them beside
// its resolved executable; the named entry itself is not: a link elsewhere that bears the start-up
// resource's name stays where it is, and so is not the resource.
std::filesystem::path openedPath(const std::string& argument, const std::string& workingDirectory) {
  std::filesystem::path path(argument);
  if (path.is_relative()) path = std::filesystem::path(workingDirectory) / path;
  path = path.lexically_normal();
  if (!path.has_filename()) path = path.parent_path();  // "…/name/" names "…/name"
  if (!path.has_filename() || path.filename() == "..") return path;
  std::error_code error;
  auto folder = std::filesystem::weakly_canonical(path.parent_path(), error);
  if (error) return path;
  return folder / path.filename();
}
}  // namespace

std::string fileURL(const std::string& absolutePath) {
  std::string url = "file://";
  for (const unsigned char c : absolutePath) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      url.push_back(static_cast<char>(c));
    } else {
      url += fmt::format("%{:02X}", c);
    }
  }
  return url;
}

std::vector<std::string> openItems(const HandOver& handOver) {
  std::vector<std::string> items;
  for (std::size_t i = 1; i < handOver.arguments.size(); ++i) {
    const std::string& argument = handOver.arguments[i];
    if (isSwitch(argument)) continue;
    if (argument.rfind("file:", 0) == 0) {
      items.push_back(argument);
      continue;
    }
    items.push_back(fileURL(openedPath(argument, handOver.workingDirectory).string()));
  }
  return items;
}

std::string instanceSocketPath(std::string_view bundleIdentifier, unsigned userID,
                               const std::optional<std::string>& runtimeDirectory) {
  if (runtimeDirectory && !runtimeDirectory->empty() && runtimeDirectory->front() == '/') {
    return fmt::format("{}/{}.instance", *runtimeDirectory, bundleIdentifier);
  }
  return fmt::format("/tmp/{}-{}.instance", bundleIdentifier, userID);
}

}  // namespace vantrel::AppDelegatePresenter

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::StartupLoginIntent {

// The resource whose opening asks the application to sign in automatically.
inline constexpr std::string_view resourceName = "AutomaticLogin.vantrelstartup";

// True only for exactly one URL: a file URL with no host other than "localhost", no query and no
// fragment, whose standardised path, precomposed (NFC), equals the resource directory's with
// `resourceName` appended.
bool accepts(const std::vector<std::string>& urls,
             const std::optional<std::filesystem::path>& resourceDirectory);

// True when an argument after the first is "ALogin" or "--auto-login", ignoring case.
bool requestedByArguments(const std::vector<std::string>& arguments);

// The path of a file URL after percent-decoding, or nullopt when the text is not a file URL this
// intent accepts (other host, query, fragment, malformed escape, NUL).
std::optional<std::string> filePath(std::string_view url);

}  // namespace vantrel::StartupLoginIntent

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel::paths {

// Every location the system reads or writes, derived from HOME, the XDG variables and
// VANTREL_SYSTEM_ROOT at the moment of the call, so a test can move everything into a
// temporary folder by setting HOME (and VANTREL_SYSTEM_ROOT).

std::filesystem::path home();
// $XDG_DATA_HOME/<folder> (default ~/.local/share/<folder>); the application-support folder.
std::filesystem::path applicationSupportDirectory(std::string_view folder);
// $XDG_STATE_HOME/VantrelMac/Logs (default ~/.local/state/VantrelMac/Logs).
std::filesystem::path logsDirectory();
// $XDG_CONFIG_HOME/<bundle id>/defaults.json (default ~/.config/...).
std::filesystem::path userDefaultsFile(std::string_view bundleIdentifier);
// The system root: $VANTREL_SYSTEM_ROOT, or "/".
std::filesystem::path systemRoot();
// <system root>/etc/VantrelMac/connection.json
std::filesystem::path systemConnectionFile();
// <system root>/run/VantrelMac/<service name>.sock
std::filesystem::path relaySocketPath(std::string_view machServiceName);
// The user's Downloads and Desktop folders (XDG user dirs, else ~/Downloads and ~/Desktop).
std::filesystem::path downloadsDirectory();
// Where files pasted from a manager go: the Downloads folder when it exists, else the home folder.
std::string defaultPasteDestination();
std::filesystem::path desktopDirectory();
// The user's Documents folder (XDG_DOCUMENTS_DIR, else ~/Documents).
std::filesystem::path documentsDirectory();
// Resources of the running program: $VANTREL_RESOURCES, else those of /proc/self/exe.
std::filesystem::path bundleResourcesDirectory();
// <exe dir>/share/VantrelMac when that folder exists (an installed build), else
// <exe dir>/../share/VantrelMac (the build tree).
std::filesystem::path resourcesDirectoryOf(const std::filesystem::path& executable);

}  // namespace vantrel::paths

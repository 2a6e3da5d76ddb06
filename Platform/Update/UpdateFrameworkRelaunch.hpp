#pragma once

// Relaunch after an installed update: the engine records the new program, the application's
// event loop ends, and main() replaces the process with that program and the original
// arguments (same process id, never a second instance).

#include <filesystem>
#include <optional>
#include <string>

namespace vantrel::update_relaunch {

// Set in the relaunched process to the build that was just installed.
inline constexpr const char* installedBuildVariable = "VANTREL_UPDATE_INSTALLED_BUILD";

// main() calls this first, with its own arguments.
void rememberArguments(int argc, char** argv);

// Records the program to run once the event loop has returned.
void request(const std::filesystem::path& program, const std::string& build);
std::optional<std::filesystem::path> requestedProgram();
void clearRequest();

// main() calls this after its event loop returned. With a recorded request it replaces the
// process (descriptors above 2 are closed on exec); it returns only when nothing was requested
// or the exec failed (logged), and the caller then exits normally.
void relaunchIfRequested();

// The build named by `installedBuildVariable`, removed from the environment (read once).
std::optional<std::string> takeInstalledBuild();

}  // namespace vantrel::update_relaunch

#pragma once

// A private HOME, XDG folders, runtime folder and system root for one test: every path the system
// derives lands inside a temporary folder that is removed afterwards; the previous environment is
// restored.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vantrel::testing {

class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  // The home folder ($HOME); the XDG folders lie below it.
  const std::filesystem::path& path() const noexcept { return home_; }
  // The private folder that holds both.
  const std::filesystem::path& root() const noexcept { return root_; }
  // $VANTREL_SYSTEM_ROOT, beside the home folder.
  const std::filesystem::path& systemRoot() const noexcept { return system_; }
  // Sets a variable for the lifetime of this object (restored afterwards).
  void setEnv(const std::string& name, const std::string& value);
  void unsetEnv(const std::string& name);

 private:
  void remember(const std::string& name);
  std::filesystem::path root_;
  std::filesystem::path home_;
  std::filesystem::path system_;
  // $XDG_RUNTIME_DIR (0700), beside the home folder: the program's single-instance socket and
  // other runtime files stay with this test.
  std::filesystem::path runtime_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// True for the runtime folder of a live TemporaryHome that is still a real folder (not a link) of
// this user with mode 0700. A session's own runtime folder, or none (the program then takes a
// fallback path in /tmp), is shared with every program of the user on the machine: another test's
// instance would answer there.
bool isPrivateRuntimeFolder(const std::filesystem::path& folder);
// Counts `folder` (a 0700 folder this test made, such as a private desktop session's) as a live
// private runtime folder until it is unregistered.
void registerPrivateRuntimeFolder(const std::filesystem::path& folder);
void unregisterPrivateRuntimeFolder(const std::filesystem::path& folder);

// A fresh private temporary directory, removed when the object dies.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nullopt, removes) one environment variable for the life of the object.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Points DISPLAY at an X server for the life of the object.
class DisplayOverride : public ScopedEnvironmentVariable {
 public:
  explicit DisplayOverride(const std::string& display) : ScopedEnvironmentVariable("DISPLAY", display) {}
};

// Points DISPLAY at a server that does not exist for the life of the object.
class NoDisplay : public DisplayOverride {
 public:
  NoDisplay() : DisplayOverride(":4093") {}
};

}  // namespace vantrel::testing

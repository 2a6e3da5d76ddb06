#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// A failed system call, with its errno code (the platform's POSIX error).
class UpdatePOSIXError : public Error {
 public:
  explicit UpdatePOSIXError(int code) : code_(code > 0 ? code : 5 /* EIO */) {}
  int code() const noexcept { return code_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "NSPOSIXErrorDomain"; }
  int errorCode() const override { return code_; }
  friend bool operator==(const UpdatePOSIXError& a, const UpdatePOSIXError& b) { return a.code_ == b.code_; }

 private:
  int code_;
};

using UpdateDate = std::chrono::system_clock::time_point;

// mkdir -p where every folder created gets mode 0700 (existing folders are left as they are).
// Throws `UpdatePOSIXError`.
void createPrivateDirectories(const std::filesystem::path& directory);

// A short-lived note naming the build that may sign in again by itself after an update
// relaunch.
struct UpdateResumeIntent {
  static constexpr std::chrono::seconds lifetime{900};

  std::string expectedBuild;
  UpdateDate expiresAt;
  std::optional<std::string> id;

  // Expires `lifetime` after `now`, with a new random upper-case UUID as its id.
  UpdateResumeIntent(std::string expectedBuild, UpdateDate now);
  UpdateResumeIntent(std::string expectedBuild, UpdateDate expiresAt, std::optional<std::string> id);

  // The exact build, not yet expired, and expiring no later than `now` + lifetime.
  bool permits(std::string_view build, UpdateDate now) const;

  // Compact JSON: "expectedBuild", "expiresAt" (seconds since 2001-01-01 UTC), "id" when set.
  std::string encode() const;
  // Nullopt for anything but a JSON object with a text "expectedBuild" and a number
  // "expiresAt" (and, if present and not null, a text "id"). Unknown keys are ignored.
  static std::optional<UpdateResumeIntent> decode(ByteView bytes);

  friend bool operator==(const UpdateResumeIntent&, const UpdateResumeIntent&) = default;
};

// The resume record file "resume.json", kept in an owner-only folder and trusted only as a
// small private regular file. Every store value shares one process-wide lock.
class UpdateResumeStore {
 public:
  static constexpr std::size_t maximumRecordSize = 4096;

  // `url` empty means the user has no application-support folder: `save` then fails with
  // "private_update_directory_required", `consume` is false and `discard` does nothing.
  explicit UpdateResumeStore(std::optional<std::filesystem::path> url);

  // <application support>/<bundle id, or "local.vantrel.VantrelMac">/Update/resume.json, or
  // nullopt when no application-support folder can be named (no absolute XDG_DATA_HOME, HOME
  // or password-database home).
  static std::optional<std::filesystem::path> defaultURL(std::string_view bundleIdentifier);

  static std::mutex& lock();

  const std::optional<std::filesystem::path>& url() const noexcept { return url_; }

  // Writes the record atomically (private temporary file, flushed, renamed over the record,
  // folder flushed). Throws AIChannelError "private_update_directory_required" when the folder
  // is not a 0700 directory of the effective user, "invalid_update_resume_file" when something
  // other than a regular file of the user holds the record's name (it is left alone),
  // `UpdatePOSIXError` for a failed call.
  void save(const UpdateResumeIntent& intent) const;
  // Reads and removes the record; true only when it decodes and permits `build` at `now`. An
  // unsafe record throws "invalid_update_resume_file" and is left in place.
  bool consume(std::string_view build, UpdateDate now) const;
  // Removes the record when it carries the intent's id.
  void discard(const UpdateResumeIntent& intent) const;

 private:
  std::optional<std::filesystem::path> url_;
};

}  // namespace vantrel

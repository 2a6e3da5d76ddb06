#include "Update/UpdateResumeStore.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "CVantrelPrivateFile.h"
#include "Support/AIChannelError.hpp"
#include "Support/JSONNesting.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Uuid.hpp"
#include "Support/WallClock.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the record's time origin.
constexpr double referenceEpoch = 978307200.0;

const SystemLog& log() {
  static const SystemLog instance("local.vantrel.VantrelMac", "update");
  return instance;
}

[[noreturn]] void throwErrno() { throw UpdatePOSIXError(errno); }

// A descriptor closed on every path; close failures are logged with `closeMessage`.
class Descriptor {
 public:
  Descriptor(int fd, const char* closeMessage) : fd_(fd), closeMessage_(closeMessage) {}
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }
  void close() noexcept {
    if (fd_ < 0) return;
    if (::close(fd_) != 0) log().error(fmt::runtime(closeMessage_), errno);
    fd_ = -1;
  }

 private:
  int fd_;
  const char* closeMessage_;
};

constexpr const char* syncCloseFailed = "VantrelMac update resume sync close failed ({})";
constexpr const char* readCloseFailed = "VantrelMac update resume close failed ({})";

struct Record {
  bool exists = false;
  std::optional<UpdateResumeIntent> intent;
};

// The folder of the record, opened for the descriptor-relative calls; -1 with ENOENT absent.
int openParent(const fs::path& url) {
  return ::open(url.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Reads the record relative to `directory`; the caller holds the store lock.
Record readRecord(int directory, const std::string& name) {
  const int fd = ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throwErrno();
  }
  Descriptor file(fd, readCloseFailed);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 0077) != 0 || info.st_size > static_cast<off_t>(UpdateResumeStore::maximumRecordSize)) {
    throw AIChannelError::invalid("invalid_update_resume_file");
  }
  Bytes buffer(UpdateResumeStore::maximumRecordSize + 1);
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const auto n = ::read(file.get(), buffer.data() + filled, buffer.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno();
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  // A record that grew past the limit after the size check is as unsafe as a large one.
  if (filled > UpdateResumeStore::maximumRecordSize)
    throw AIChannelError::invalid("invalid_update_resume_file");
  buffer.resize(filled);
  Record record;
  record.exists = true;
  record.intent = UpdateResumeIntent::decode(buffer);
  return record;
}

void removeRecord(int directory, const std::string& name) {
  if (::unlinkat(directory, name.c_str(), 0) != 0) throwErrno();
}

std::optional<fs::path> applicationSupportBase() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return fs::path(data);
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return fs::path(home) / ".local" / "share";
  if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/') {
    return fs::path(entry->pw_dir) / ".local" / "share";
  }
  return std::nullopt;
}

}  // namespace

void createPrivateDirectories(const fs::path& directory) {
  fs::path partial;
  for (const auto& part : directory) {
    partial /= part;
    if (partial == partial.root_path()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) throwErrno();
  }
}

std::optional<std::string> UpdatePOSIXError::errorDescription() const {
  return fmt::format("The operation couldn’t be completed. {}", std::strerror(code_));
}

UpdateResumeIntent::UpdateResumeIntent(std::string build, UpdateDate now)
    : expectedBuild(std::move(build)), expiresAt(now + lifetime), id(Uuid::random().toString()) {}

UpdateResumeIntent::UpdateResumeIntent(std::string build, UpdateDate expiry,
                                       std::optional<std::string> identifier)
    : expectedBuild(std::move(build)), expiresAt(expiry), id(std::move(identifier)) {}

bool UpdateResumeIntent::permits(std::string_view build, UpdateDate now) const {
  return build == expectedBuild && expiresAt > now && expiresAt <= now + lifetime;
}

std::string UpdateResumeIntent::encode() const {
  const double unixSeconds = std::chrono::duration<double>(expiresAt.time_since_epoch()).count();
  nlohmann::ordered_json object{{"expectedBuild", expectedBuild},
                                {"expiresAt", unixSeconds - referenceEpoch}};
  if (id) object["id"] = *id;
  return object.dump();
}

std::optional<UpdateResumeIntent> UpdateResumeIntent::decode(ByteView bytes) {
  if (!jsonNestingWithin(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
    return std::nullopt;
  }
  const auto object = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto build = object.find("expectedBuild");
  const auto expiry = object.find("expiresAt");
  if (build == object.end() || !build->is_string() || expiry == object.end() || !expiry->is_number()) {
    return std::nullopt;
  }
  std::optional<std::string> identifier;
  if (const auto found = object.find("id"); found != object.end() && !found->is_null()) {
    if (!found->is_string()) return std::nullopt;
    identifier = found->get<std::string>();
  }
  const double unixSeconds = expiry->get<double>() + referenceEpoch;
  if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e11) return std::nullopt;
  // Past about the year 2262 the clock's nanoseconds run out: such an expiry is the latest date
  // there is (never permitted), not an overflow.
  const auto date = dateFromSeconds(unixSeconds);
  return UpdateResumeIntent(build->get<std::string>(), *date, std::move(identifier));
}

UpdateResumeStore::UpdateResumeStore(std::optional<fs::path> url) : url_(std::move(url)) {
  if (url_ && url_->empty()) url_.reset();
}

std::optional<fs::path> UpdateResumeStore::defaultURL(std::string_view bundleIdentifier) {
  const auto base = applicationSupportBase();
  if (!base) return std::nullopt;
  const std::string folder =
      bundleIdentifier.empty() ? "local.vantrel.VantrelMac" : std::string(bundleIdentifier);
  return *base / folder / "Update" / "resume.json";
}

std::mutex& UpdateResumeStore::lock() {
  static std::mutex instance;
  return instance;
}

void UpdateResumeStore::save(const UpdateResumeIntent& intent) const {
  std::lock_guard guard(lock());
  if (!url_) throw AIChannelError::invalid("private_update_directory_required");
  createPrivateDirectories(url_->parent_path());
  // The checks and every later call go through one descriptor of the folder, so the folder that
  // was checked is the folder that is written, whatever happens to its path meanwhile.
  const int dirfd = ::open(url_->parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirfd < 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      throw AIChannelError::invalid("private_update_directory_required");
    throwErrno();
  }
  Descriptor directory(dirfd, syncCloseFailed);
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 07777) != 0700) {
    throw AIChannelError::invalid("private_update_directory_required");
  }
  const auto bytes = intent.encode();
  const auto name = url_->filename().string();
  // Private from the first byte: a crash can never leave a record that others could read.
  vn_fs_write_failure failure{};
  const int error =
      vn_fs_write_file(directory.get(), name.c_str(), bytes.data(), bytes.size(), 0600, nullptr, &failure);
  if (error == VN_FS_EUNSAFE) throw AIChannelError::invalid("invalid_update_resume_file");
  if (error != 0) throw UpdatePOSIXError(failure.error);
}

bool UpdateResumeStore::consume(std::string_view build, UpdateDate now) const {
  std::lock_guard guard(lock());
  if (!url_) return false;
  const int dirfd = openParent(*url_);
  if (dirfd < 0) {
    if (errno == ENOENT) return false;
    throwErrno();
  }
  Descriptor directory(dirfd, readCloseFailed);
  const auto name = url_->filename().string();
  const auto record = readRecord(directory.get(), name);
  if (!record.exists) return false;
  removeRecord(directory.get(), name);
  return record.intent && record.intent->permits(build, now);
}

void UpdateResumeStore::discard(const UpdateResumeIntent& intent) const {
  if (!intent.id) return;
  std::lock_guard guard(lock());
  if (!url_) return;
  const int dirfd = openParent(*url_);
  if (dirfd < 0) {
    if (errno == ENOENT) return;
    throwErrno();
  }
  Descriptor directory(dirfd, readCloseFailed);
  const auto name = url_->filename().string();
  const auto record = readRecord(directory.get(), name);
  if (record.intent && record.intent->id && *record.intent->id == *intent.id)
    removeRecord(directory.get(), name);
}

}  // namespace vantrel

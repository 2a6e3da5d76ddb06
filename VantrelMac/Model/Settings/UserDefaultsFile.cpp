// The file-backed settings store: loading with damage handling, and the writer thread.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "CVantrelPrivateFile.h"
#include "Model/Settings/JSONOutOfRangeNumbers.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Support/JSONNesting.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

const SystemLog& defaultsLog() {
  static const SystemLog instance("local.vantrel.VantrelMac", "defaults");
  return instance;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

// How the save failure message names the step the writer stopped at.
std::string_view writeStepName(vn_fs_write_step step) {
  switch (step) {
    case VN_FS_STEP_TARGET: return "target";
    case VN_FS_STEP_CREATE: return "create";
    case VN_FS_STEP_WRITE: return "write";
    case VN_FS_STEP_SYNC: return "fsync";
    case VN_FS_STEP_RENAME: return "rename";
    case VN_FS_STEP_DIR_SYNC: return "folder fsync";
    case VN_FS_STEP_NONE: break;
  }
  return "write";
}

// Creates each missing folder of the path 0700 (existing ones are left as they are).
bool makeFolders(const fs::path& folder) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(folder, ec))) return true;
  if (folder.has_parent_path() && folder.parent_path() != folder && !makeFolders(folder.parent_path())) {
    return false;
  }
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  return false;
}

// Opens the store's folder without following a link; a folder of ours that others may read is
// made private. -1 with errno when it cannot be used.
int openPrivateFolder(const fs::path& folder) {
  if (!makeFolders(folder)) return -1;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid()) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  std::array<char, 32> buffer{};
  std::strftime(buffer.data(), buffer.size(), "%Y%m%dT%H%M%SZ", &tm);
  return buffer.data();
}

}  // namespace

// ---- JSONFileUserDefaults ----

struct JSONFileUserDefaults::Loaded {
  Value values = Value::object();
  bool writable = true;
  std::optional<fs::path> quarantined;
};

namespace {

enum class ReadOutcome { missing, ok, damaged, unusable };

struct ReadResult {
  ReadOutcome outcome = ReadOutcome::missing;
  UserDefaults::Value values = UserDefaults::Value::object();
  std::string reason;
};

ReadResult readStore(int folderFD, const std::string& name) {
  ReadResult result;
  struct stat linkInfo {};
  if (::fstatat(folderFD, name.c_str(), &linkInfo, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return result;
    result.outcome = ReadOutcome::unusable;
    result.reason = errnoText(errno);
    return result;
  }
  result.outcome = ReadOutcome::damaged;
  if (!S_ISREG(linkInfo.st_mode)) {
    result.reason = S_ISLNK(linkInfo.st_mode) ? "it is a symbolic link" : "it is not a regular file";
    return result;
  }
  if (linkInfo.st_uid != ::geteuid()) {
    result.reason = "it belongs to another user";
    return result;
  }
  FileDescriptor fd(
      ::openat(folderFD, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    result.outcome = fd ? ReadOutcome::damaged : ReadOutcome::unusable;
    result.reason = fd ? "it changed while being opened" : errnoText(errno);
    return result;
  }
  if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > JSONFileUserDefaults::maximumFileSize) {
    result.reason = "it is too large";
    return result;
  }
  std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
  std::size_t total = 0;
  while (total < text.size()) {
    const auto n = ::read(fd.get(), text.data() + total, text.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.outcome = ReadOutcome::unusable;
      result.reason = errnoText(errno);
      return result;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total > static_cast<std::size_t>(info.st_size)) {
    result.reason = "it grew while being read";
    return result;
  }
  text.resize(total);
  auto parsed = JSONFileUserDefaults::decodeFile(text, result.reason);
  if (!parsed) return result;
  result.outcome = ReadOutcome::ok;
  result.values = std::move(*parsed);
  return result;
}

// Moves a damaged store aside under a name nothing else uses; the new name, or nullopt.
std::optional<std::string> quarantine(int folderFD, const std::string& name) {
  const auto base = fmt::format("{}.corrupt-{}", name, utcStamp());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto target = attempt == 0 ? base : fmt::format("{}-{}", base, attempt + 1);
    if (::renameat2(folderFD, name.c_str(), folderFD, target.c_str(), RENAME_NOREPLACE) == 0) {
      ::fsync(folderFD);
      return target;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<JSONFileUserDefaults> JSONFileUserDefaults::standard(std::string_view bundleIdentifier) {
  static std::mutex mutex;
  static std::map<fs::path, std::weak_ptr<JSONFileUserDefaults>> live;
  const auto file = paths::userDefaultsFile(bundleIdentifier);
  std::lock_guard lock(mutex);
  auto& slot = live[file];
  auto store = slot.lock();
  if (!store) {
    store = std::make_shared<JSONFileUserDefaults>(Options{file, nullptr});
    slot = store;
  }
  return store;
}

JSONFileUserDefaults::JSONFileUserDefaults(std::string_view bundleIdentifier)
    : JSONFileUserDefaults(Options{paths::userDefaultsFile(bundleIdentifier), nullptr}) {}

JSONFileUserDefaults::JSONFileUserDefaults(Options options) : JSONFileUserDefaults(options, load(options)) {}

JSONFileUserDefaults::JSONFileUserDefaults(Options options, Loaded loaded)
    : UserDefaults(std::move(loaded.values)),
      options_(std::move(options)),
      writable_(loaded.writable),
      quarantined_(std::move(loaded.quarantined)) {
  if (!options_.rename) {
    options_.rename = [](int fd, const char* from, const char* to) { return ::renameat(fd, from, fd, to); };
  }
  if (writable_) writer_ = std::thread([this] { runWriter(); });
}

JSONFileUserDefaults::~JSONFileUserDefaults() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(writerMutex_);
    stopping_ = true;
  }
  writerWake_.notify_one();
  writer_.join();
}

void JSONFileUserDefaults::flush() {
  if (!writer_.joinable()) return;
  std::unique_lock lock(writerMutex_);
  const auto target = requested_;
  writerDone_.wait(lock, [&] { return written_ >= target; });
}

void JSONFileUserDefaults::runWriter() {
  std::unique_lock lock(writerMutex_);
  for (;;) {
    writerWake_.wait(lock, [&] { return stopping_ || pending_.has_value(); });
    if (!pending_) return;  // stopping with nothing left to write
    auto contents = std::move(*pending_);
    pending_.reset();
    const auto generation = requested_;
    lock.unlock();
    lastWriteSucceeded_ = writeFile(contents);
    lock.lock();
    written_ = generation;
    writerDone_.notify_all();
  }
}

JSONFileUserDefaults::Loaded JSONFileUserDefaults::load(const Options& options) {
  Loaded loaded;
  const auto folder = options.file.parent_path();
  const auto name = options.file.filename().string();
  FileDescriptor folderFD(openPrivateFolder(folder));
  if (!folderFD) {
    // Nothing is read and nothing will be written there; the store still works in memory.
    defaultsLog().error("settings folder {} cannot be used: {}", folder.string(), errnoText(errno));
    loaded.writable = false;
    return loaded;
  }
  auto read = readStore(folderFD.get(), name);
  switch (read.outcome) {
    case ReadOutcome::missing: break;
    case ReadOutcome::ok:
      loaded.values = std::move(read.values);
      if (!read.reason.empty()) {
        defaultsLog().error("settings file {}: {}; the other settings are kept", options.file.string(),
                            read.reason);
      }
      break;
    case ReadOutcome::unusable:
      defaultsLog().error(
          "settings file {} cannot be read ({}); using empty settings and leaving the file alone",
          options.file.string(), read.reason);
      loaded.writable = false;
      break;
    case ReadOutcome::damaged:
      if (auto moved = quarantine(folderFD.get(), name)) {
        loaded.quarantined = folder / *moved;
        defaultsLog().error("settings file {} was unusable ({}); kept as {} and starting with empty settings",
                            options.file.string(), read.reason, moved->c_str());
      } else {
        defaultsLog().error(
            "settings file {} is unusable ({}) and could not be moved aside ({}); settings are kept "
            "in memory only",
            options.file.string(), read.reason, errnoText(errno));
        loaded.writable = false;
      }
      break;
  }
  return loaded;
}

std::optional<UserDefaults::Value> JSONFileUserDefaults::decodeFile(std::string_view text,
                                                                    std::string& reason) {
  reason.clear();
  // Refused before a document is built: a deep one would overflow the stack of every later copy
  // and of the writer that saves it back.
  if (!jsonNestingWithin(text)) {
    reason = fmt::format("it nests deeper than {} levels", maximumJSONNesting);
    return std::nullopt;
  }
  Value parsed;
  try {
    parsed = Value::parse(text);
  } catch (const Value::parse_error& error) {
    reason = fmt::format("it is not valid JSON (byte {})", error.byte);
    return std::nullopt;
  } catch (const Value::out_of_range&) {
    // One number no double can hold would cost every setting: it is read as null instead, a value
    // of the wrong type for any key, so that key falls back to its default and the rest is kept.
    auto nulled = nullOutOfRangeNumbers(text);
    try {
      parsed = Value::parse(nulled.text);
    } catch (const Value::parse_error& error) {
      reason = fmt::format("it is not valid JSON (byte {})", nulled.originalByte(error.byte));
      return std::nullopt;
    } catch (const Value::out_of_range&) {
      // Only where the number does not stand as a value of its own (text that is no JSON anyway).
      reason = "it is not valid JSON (a number beyond the range of a double)";
      return std::nullopt;
    }
    if (parsed.is_object()) reason = describeOutOfRangeNumbers(nulled);
  }
  if (!parsed.is_object()) {
    reason = fmt::format("it is JSON but not an object (its top level is {})", parsed.type_name());
    return std::nullopt;
  }
  return parsed;
}

bool JSONFileUserDefaults::lastWriteSucceeded() const { return lastWriteSucceeded_.load(); }

std::optional<std::filesystem::path> JSONFileUserDefaults::quarantinedFile() const { return quarantined_; }

void JSONFileUserDefaults::persist(const Value& all) {
  if (!writable_) {
    lastWriteSucceeded_ = false;
    return;
  }
  {
    std::lock_guard lock(writerMutex_);
    pending_ = all;  // a newer write replaces one the writer has not started
    ++requested_;
  }
  writerWake_.notify_one();
}

bool JSONFileUserDefaults::writeFile(const Value& all) {
  const auto fail = [&](std::string_view step, int error) {
    defaultsLog().error("settings could not be saved to {} ({}: {})", options_.file.string(), step,
                        errnoText(error));
    return false;
  };
  FileDescriptor folderFD(openPrivateFolder(options_.file.parent_path()));
  if (!folderFD) return fail("folder", errno);
  const auto name = options_.file.filename().string();
  const auto text = all.dump(-1, ' ', false, Value::error_handler_t::replace);
  // The target must still be a regular file of ours (or missing): the writer never replaces
  // anything else.
  const vn_fs_write_hooks hooks{[](void* context, int directoryFD, const char* from, const char* to) {
                                  return static_cast<const Options*>(context)->rename(directoryFD, from, to);
                                },
                                nullptr, &options_};
  vn_fs_write_failure failure{};
  if (vn_fs_write_file(folderFD.get(), name.c_str(), text.data(), text.size(), 0600, &hooks, &failure) != 0) {
    return fail(writeStepName(failure.step), failure.error);
  }
  return true;
}

}  // namespace vantrel

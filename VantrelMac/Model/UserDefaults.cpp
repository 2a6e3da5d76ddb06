#include "UserDefaults.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include <fmt/format.h>

#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

const SystemLog& defaultsLog() {
  static const SystemLog instance("local.vantrel.VantrelMac", "defaults");
  return instance;
}

constexpr std::string_view dataKey = "$data";
constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(base64Alphabet[(v >> shift) & 0x3F]);
  }
  const auto rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(base64Alphabet[(v >> 18) & 0x3F]);
    out.push_back(base64Alphabet[(v >> 12) & 0x3F]);
    out.push_back(rest == 2 ? base64Alphabet[(v >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

int base64Digit(char c) {
  const auto at = base64Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Standard alphabet with padding; anything else (white space included) fails.
std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> d{};
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        d[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a digit after padding
      d[k] = base64Digit(c);
      if (d[k] < 0) return std::nullopt;
    }
    const std::uint32_t v = (static_cast<std::uint32_t>(d[0]) << 18) |
                            (static_cast<std::uint32_t>(d[1]) << 12) |
                            (static_cast<std::uint32_t>(d[2]) << 6) | static_cast<std::uint32_t>(d[3]);
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
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

// ---- UserDefaults ----

UserDefaults::UserDefaults(Value initial) : values_(std::move(initial)) {
  if (!values_.is_object()) values_ = Value::object();
}

UserDefaults::~UserDefaults() = default;

std::optional<UserDefaults::Value> UserDefaults::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

bool UserDefaults::contains(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return values_.contains(key);
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  const auto v = value(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<bool> UserDefaults::boolean(std::string_view key) const {
  const auto v = value(key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<std::int64_t> UserDefaults::integer(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    const auto u = v->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::uint64_t> UserDefaults::unsignedInteger(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<std::uint64_t>();
  if (v->is_number_integer()) {
    const auto i = v->get<std::int64_t>();
    if (i < 0) return std::nullopt;
    return static_cast<std::uint64_t>(i);
  }
  if (v->is_number_float()) {
    const double d = v->get<double>();
    // 2^64 is the first value that does not fit.
    if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0 || std::floor(d) != d) return std::nullopt;
    return static_cast<std::uint64_t>(d);
  }
  return std::nullopt;
}

std::optional<Bytes> UserDefaults::data(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  return decodeDataValue(*v);
}

void UserDefaults::setValue(std::string key, Value value) {
  Changes changes;
  changes.emplace_back(std::move(key), std::move(value));
  setValues(std::move(changes));
}

void UserDefaults::setValues(Changes changes) {
  std::lock_guard lock(mutex_);
  for (auto& [key, value] : changes) values_[key] = std::move(value);
  persist(values_);
}

void UserDefaults::removeValue(std::string_view key) {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return;
  values_.erase(it);
  persist(values_);
}

UserDefaults::Value UserDefaults::snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

UserDefaults::Value UserDefaults::dataValue(ByteView bytes) {
  Value object = Value::object();
  object[std::string(dataKey)] = base64Encode(bytes);
  return object;
}

std::optional<Bytes> UserDefaults::decodeDataValue(const Value& value) {
  if (!value.is_object() || value.size() != 1) return std::nullopt;
  const auto it = value.find(dataKey);
  if (it == value.end() || !it->is_string()) return std::nullopt;
  return base64Decode(it->get_ref<const std::string&>());
}

// ---- InMemoryUserDefaults ----

InMemoryUserDefaults::InMemoryUserDefaults() : UserDefaults(Value::object()) {}
InMemoryUserDefaults::InMemoryUserDefaults(Value initial) : UserDefaults(std::move(initial)) {}

std::size_t InMemoryUserDefaults::writeCount() const {
  std::lock_guard lock(countMutex_);
  return writes_;
}

void InMemoryUserDefaults::persist(const Value&) {
  std::lock_guard lock(countMutex_);
  ++writes_;
}

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
  auto parsed = UserDefaults::Value::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    result.reason = "it is not a JSON object";
    return result;
  }
  result.outcome = ReadOutcome::ok;
  result.values = std::move(parsed);
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

JSONFileUserDefaults::JSONFileUserDefaults(std::string_view bundleIdentifier)
    : JSONFileUserDefaults(Options{paths::userDefaultsFile(bundleIdentifier), nullptr}) {}

JSONFileUserDefaults::JSONFileUserDefaults(Options options) : JSONFileUserDefaults(options, load(options)) {}

JSONFileUserDefaults::JSONFileUserDefaults(Options options, Loaded loaded)
    : UserDefaults(std::move(loaded.values)),
      options_(std::move(options)),
      writable_(loaded.writable),
      quarantined_(std::move(loaded.quarantined)) {
  if (!options_.rename)
    options_.rename = [](int fd, const char* from, const char* to) { return ::renameat(fd, from, fd, to); };
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
    case ReadOutcome::ok: loaded.values = std::move(read.values); break;
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

bool JSONFileUserDefaults::lastWriteSucceeded() const { return lastWriteSucceeded_.load(); }

std::optional<std::filesystem::path> JSONFileUserDefaults::quarantinedFile() const { return quarantined_; }

void JSONFileUserDefaults::persist(const Value& all) {
  if (!writable_) {
    lastWriteSucceeded_ = false;
    return;
  }
  const auto fail = [&](std::string_view step, int error) {
    lastWriteSucceeded_ = false;
    defaultsLog().error("settings could not be saved to {} ({}: {})", options_.file.string(), step,
                        errnoText(error));
  };
  FileDescriptor folderFD(openPrivateFolder(options_.file.parent_path()));
  if (!folderFD) return fail("folder", errno);
  const auto name = options_.file.filename().string();
  // The target must still be a regular file of ours (or missing): never replace anything else.
  struct stat info {};
  if (::fstatat(folderFD.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid())) {
    return fail("target", EEXIST);
  }
  const auto text = all.dump(-1, ' ', false, Value::error_handler_t::replace);
  std::array<std::uint8_t, 8> random{};
  secureRandomBytes(random.data(), random.size());
  const auto temp = fmt::format(".{}.tmp-{}", name, hexString(random));
  FileDescriptor fd(
      ::openat(folderFD.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return fail("create", errno);
  const auto discard = [&] { ::unlinkat(folderFD.get(), temp.c_str(), 0); };
  std::size_t written = 0;
  while (written < text.size()) {
    const auto n = ::write(fd.get(), text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      discard();
      return fail("write", error);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), 0600) != 0 || ::fsync(fd.get()) != 0) {
    const int error = errno;
    discard();
    return fail("fsync", error);
  }
  if (options_.rename(folderFD.get(), temp.c_str(), name.c_str()) != 0) {
    const int error = errno;
    discard();
    return fail("rename", error);
  }
  if (::fsync(folderFD.get()) != 0) return fail("folder fsync", errno);
  lastWriteSucceeded_ = true;
}

}  // namespace vantrel

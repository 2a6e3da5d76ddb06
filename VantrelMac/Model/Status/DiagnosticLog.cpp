#include "Model/Status/DiagnosticLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "AIChannel/AIChannelConfiguration.hpp"
#include "Support/Paths.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Creates each missing folder of the path 0700.
void makeFolders(const fs::path& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) == 0) return;
  if (folder.has_parent_path() && folder.parent_path() != folder) makeFolders(folder.parent_path());
  ::mkdir(folder.c_str(), 0700);
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const auto n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

const SystemLog& programLog() {
  static const SystemLog instance("local.vantrel.VantrelMac", "app");
  return instance;
}

// ---- DiagnosticLogWriter ----

DiagnosticLogWriter::DiagnosticLogWriter(std::filesystem::path file, std::size_t maximumFileBytes)
    : file_(std::move(file)), maximumFileBytes_(maximumFileBytes) {
  thread_ = std::thread([this] { run(); });
}

DiagnosticLogWriter::~DiagnosticLogWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void DiagnosticLogWriter::append(std::chrono::system_clock::time_point timestamp, std::string text) {
  const auto bytes = text.size();
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    if (pendingBytes_ + bytes > maximumPendingBytes) {
      ++dropped_;
      return;
    }
    wasEmpty = pending_.empty();
    pending_.push_back(Line{timestamp, std::move(text)});
    pendingBytes_ += bytes;
    ++queued_;
  }
  // The writer only sleeps with an empty queue, so one wake-up per burst is enough.
  if (wasEmpty) wake_.notify_one();
}

void DiagnosticLogWriter::flush() {
  std::unique_lock lock(mutex_);
  const auto target = queued_;
  idle_.wait(lock, [&] { return handled_ >= target; });
}

std::uint64_t DiagnosticLogWriter::droppedLines() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void DiagnosticLogWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
    if (pending_.empty() && stopping_) return;
    std::deque<Line> batch;
    batch.swap(pending_);
    pendingBytes_ = 0;
    lock.unlock();
    writeBatch(batch);
    lock.lock();
    handled_ += batch.size();
    if (dropped_ != reportedDrops_ && pending_.empty()) {
      // Reported once the backlog is gone, so the report itself is not dropped.
      programLog().error("VantrelMac diagnostic log: {} lines were dropped while the disk lagged",
                         dropped_ - reportedDrops_);
      reportedDrops_ = dropped_;
    }
    idle_.notify_all();
  }
}

std::filesystem::path DiagnosticLogWriter::rotatedFile() const {
  auto rotated = file_;
  rotated += ".1";
  return rotated;
}

// The log file opened for appending without following a link, created 0600 when missing; -1 when
// it cannot be used or is not a regular file of ours.
int DiagnosticLogWriter::openFile() const {
  const int fd = ::open(file_.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void DiagnosticLogWriter::writeBatch(const std::deque<Line>& batch) {
  std::vector<std::string> lines;
  lines.reserve(batch.size());
  for (const auto& line : batch) {
    programLog().info("VantrelMac diagnostic: {}", line.text);
    lines.push_back(DiagnosticLog::fileLine(line.text, line.timestamp));
  }
  if (lines.empty() || file_.empty()) return;
  // Every failure below is silent: the system-log line and the in-memory entry still exist.
  makeFolders(file_.parent_path());
  int fd = openFile();
  if (fd < 0) return;
  struct stat info {};
  std::size_t size = ::fstat(fd, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
  std::string bytes;
  const auto writePending = [&] {
    const bool ok = bytes.empty() || writeAll(fd, bytes);
    size += bytes.size();
    bytes.clear();
    return ok;
  };
  for (const auto& line : lines) {
    // A file that holds something and would pass the limit with this line is moved aside first;
    // a rename replaces a link at the old copy's name instead of following it.
    if (size + bytes.size() + line.size() > maximumFileBytes_ && size + bytes.size() > 0) {
      if (!writePending()) break;
      ::close(fd);
      if (::rename(file_.c_str(), rotatedFile().c_str()) != 0) return;
      fd = openFile();
      if (fd < 0) return;
      size = 0;
    }
    bytes += line;
  }
  (void)writePending();
  ::close(fd);
}

std::filesystem::path DiagnosticLogWriter::defaultFile(std::optional<std::string_view> bundleIdentifier) {
  fs::path stateHome = paths::home() / ".local" / "state";
  if (const char* value = std::getenv("XDG_STATE_HOME"); value && value[0] == '/') stateHome = value;
  const auto name = AIChannelConfiguration::applicationSupportDirectory(bundleIdentifier).filename().string();
  return stateHome / (name + ".log");
}

// ---- DiagnosticLog ----

DiagnosticLog::DiagnosticLog(std::shared_ptr<DiagnosticLogWriter> writer)
    : writer_(std::move(writer)), scrollToken_(nextId()) {}

// Random (version 4) identifiers from a buffer refilled by one call to the kernel's random
// source per 64 identifiers: the main thread appends lines, and a system call for each id would
// cost more than the rest of the append.
Uuid DiagnosticLog::nextId() {
  static_assert(std::is_trivially_copyable_v<Uuid> && sizeof(Uuid) == 16);
  if (randomUsed_ == randomPool_.size()) {
    secureRandomBytes(randomPool_.data(), randomPool_.size());
    randomUsed_ = 0;
  }
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), randomPool_.data() + randomUsed_, bytes.size());
  randomUsed_ += bytes.size();
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  Uuid id;
  std::memcpy(static_cast<void*>(&id), bytes.data(), bytes.size());
  return id;
}

void DiagnosticLog::appendDiagnostic(std::string raw, std::chrono::system_clock::time_point timestamp) {
  // Lines carry text from managers and servers: one entry stays one line of the file.
  auto text = text::loggable(raw, maximumLineBytes);
  if (writer_) writer_->append(timestamp, text);
  entries_.push_back(DiagnosticLogEntry{nextId(), timestamp, std::move(text)});
  while (entries_.size() > maximumEntries) entries_.pop_front();
  scrollToken_ = nextId();
}

std::string DiagnosticLog::copyText() const {
  std::string out;
  bool first = true;
  for (const auto& entry : entries_) {
    if (!first) out.push_back('\n');
    first = false;
    out += copyTimestamp(entry.timestamp);
    out += "  ";
    out += entry.text;
  }
  return out;
}

std::string DiagnosticLog::fileLine(std::string_view text, std::chrono::system_clock::time_point timestamp) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(timestamp);
  const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  ::gmtime_r(&time, &tm);
  std::array<char, 40> stamp{};
  const auto length = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line;
  line.reserve(length + 2 + text.size());
  line.append(stamp.data(), length);
  line.push_back(' ');
  line.append(text);
  line.push_back('\n');
  return line;
}

std::string DiagnosticLog::copyTimestamp(std::chrono::system_clock::time_point timestamp) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(timestamp);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(timestamp - seconds).count();
  const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  ::localtime_r(&time, &tm);
  return fmt::format("{:02}:{:02}:{:02}.{:03}", tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
}

}  // namespace vantrel

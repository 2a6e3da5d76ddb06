#pragma once

// The diagnostics log of the status window: the newest 300 lines in memory, every line in the
// system log and appended to a log file. The thread that appends (the main actor) never waits
// on the disk: a writer thread of its own writes the system-log and file lines in order.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Support/SystemLog.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {

struct DiagnosticLogEntry {
  Uuid id;
  std::chrono::system_clock::time_point timestamp;
  std::string text;  // without timestamp

  friend bool operator==(const DiagnosticLogEntry&, const DiagnosticLogEntry&) = default;
};

// The log of the program's plain lines, the ones that begin with "VantrelMac " ("VantrelMac main
// started with arguments: …", "VantrelMac diagnostic: …").
const SystemLog& programLog();

// Writes lines to the system log and to the end of the log file, in the order they were queued,
// on its own thread. The file is opened for each batch without following a link, created 0600
// (its folder 0700) when missing, and only ever appended to. A line that cannot be written is
// dropped silently; what is queued and not yet written is bounded.
class DiagnosticLogWriter {
 public:
  // The file is kept under `maximumFileBytes`: a batch that would pass it first moves the file to
  // "<file>.1" (replacing the older copy), so at most twice the limit is ever kept.
  explicit DiagnosticLogWriter(std::filesystem::path file,
                               std::size_t maximumFileBytes = defaultMaximumFileBytes);
  // Writes what is queued, then stops the thread.
  ~DiagnosticLogWriter();
  DiagnosticLogWriter(const DiagnosticLogWriter&) = delete;
  DiagnosticLogWriter& operator=(const DiagnosticLogWriter&) = delete;

  // Queues one diagnostic: the system-log line "VantrelMac diagnostic: <text>" and the file line
  // "<ISO 8601 UTC time> <text>" are made and written by the writer thread. Returns at once.
  void append(std::chrono::system_clock::time_point timestamp, std::string text);
  // Blocks until every line queued before the call has been handled (tests, shutdown).
  void flush();

  const std::filesystem::path& file() const noexcept { return file_; }
  // Lines dropped because too much was queued.
  std::uint64_t droppedLines() const;

  // $XDG_STATE_HOME (default ~/.local/state) / <last component of the application-support
  // folder of the bundle identifier> + ".log": "VantrelMac.log" for the product's own.
  static std::filesystem::path defaultFile(std::optional<std::string_view> bundleIdentifier);
  static constexpr std::size_t maximumPendingBytes = 16 * 1024 * 1024;
  static constexpr std::size_t defaultMaximumFileBytes = 5 * 1024 * 1024;
  // "<file>.1": the one older copy.
  std::filesystem::path rotatedFile() const;

 private:
  struct Line {
    std::chrono::system_clock::time_point timestamp;
    std::string text;
  };
  void run();
  void writeBatch(const std::deque<Line>& batch);
  int openFile() const;

  std::filesystem::path file_;
  std::size_t maximumFileBytes_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Line> pending_;
  std::size_t pendingBytes_ = 0;
  std::uint64_t queued_ = 0;   // lines accepted so far
  std::uint64_t handled_ = 0;  // lines written (or given up) so far
  std::uint64_t dropped_ = 0;
  std::uint64_t reportedDrops_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

// The in-memory list, its scroll token and the sinks. Used on the main actor only.
class DiagnosticLog {
 public:
  static constexpr std::size_t maximumEntries = 300;
  // Longest text of one entry; control characters in it are escaped (`text::loggable`).
  static constexpr std::size_t maximumLineBytes = 4096;

  // Without a writer the lines go nowhere but the list (tests).
  explicit DiagnosticLog(std::shared_ptr<DiagnosticLogWriter> writer = nullptr);

  // The one way the model logs: the system-log line "VantrelMac diagnostic: <text>", the file line
  // "<ISO 8601 UTC time> <text>", and a new entry at the end of the list (the oldest dropped
  // beyond 300); then a fresh scroll token.
  void appendDiagnostic(std::string text,
                        std::chrono::system_clock::time_point timestamp = std::chrono::system_clock::now());

  // Oldest first, at most 300.
  const std::deque<DiagnosticLogEntry>& entries() const noexcept { return entries_; }
  // Replaced after every append.
  const Uuid& scrollToken() const noexcept { return scrollToken_; }
  // What the copy button puts on the pasteboard: "HH:mm:ss.SSS" (local time) + two spaces + text
  // per entry, joined by line feeds, no trailing one. Empty for an empty log.
  std::string copyText() const;

  // "2025-03-04T05:06:07Z <text>\n"
  static std::string fileLine(std::string_view text, std::chrono::system_clock::time_point timestamp);
  // "HH:mm:ss.SSS" in the local time zone.
  static std::string copyTimestamp(std::chrono::system_clock::time_point timestamp);

 private:
  Uuid nextId();

  std::shared_ptr<DiagnosticLogWriter> writer_;
  std::array<std::uint8_t, 16 * 64> randomPool_{};
  std::size_t randomUsed_ = randomPool_.size();
  std::deque<DiagnosticLogEntry> entries_;
  Uuid scrollToken_;
};

}  // namespace vantrel

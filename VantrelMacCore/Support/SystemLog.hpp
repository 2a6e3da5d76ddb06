#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

enum class LogLevel { debug, info, notice, error, fault };

struct LogEntry {
  std::string subsystem;
  std::string category;
  LogLevel level;
  std::string message;
};

// A logger for one (subsystem, category) pair, in the manner of the platform's unified log.
// Lines go to standard error (and to syslog once `enableSyslog` was called) and to every
// `MemoryLogSink` alive at the time.
class SystemLog {
 public:
  SystemLog(std::string subsystem, std::string category);

  const std::string& subsystem() const noexcept { return subsystem_; }
  const std::string& category() const noexcept { return category_; }

  // Longest line written; control characters in a line are escaped (`text::loggable`).
  static constexpr std::size_t maximumLineBytes = 16 * 1024;

  void log(LogLevel level, std::string_view message) const;
  // Whether lines of this level are written (the minimum level set by `setMinimumLevel`).
  bool isEnabled(LogLevel level) const;

  template <typename... Args>
  void debug(fmt::format_string<Args...> f, Args&&... args) const {
    log(LogLevel::debug, fmt::format(f, std::forward<Args>(args)...));
  }
  template <typename... Args>
  void info(fmt::format_string<Args...> f, Args&&... args) const {
    log(LogLevel::info, fmt::format(f, std::forward<Args>(args)...));
  }
  template <typename... Args>
  void notice(fmt::format_string<Args...> f, Args&&... args) const {
    log(LogLevel::notice, fmt::format(f, std::forward<Args>(args)...));
  }
  template <typename... Args>
  void error(fmt::format_string<Args...> f, Args&&... args) const {
    log(LogLevel::error, fmt::format(f, std::forward<Args>(args)...));
  }
  template <typename... Args>
  void fault(fmt::format_string<Args...> f, Args&&... args) const {
    log(LogLevel::fault, fmt::format(f, std::forward<Args>(args)...));
  }

  // Also send every line to the system log under `ident` (the application calls this once).
  static void enableSyslog(const std::string& ident);
  // Lines below this level are not written to standard error or syslog (memory sinks see all).
  static void setMinimumLevel(LogLevel level);

  struct Backend;

 private:
  std::string subsystem_;
  std::string category_;
  std::shared_ptr<Backend> backend_;
};

// Captures every line logged while it lives (tests).
class MemoryLogSink {
 public:
  MemoryLogSink();
  ~MemoryLogSink();
  MemoryLogSink(const MemoryLogSink&) = delete;
  MemoryLogSink& operator=(const MemoryLogSink&) = delete;

  std::vector<LogEntry> entries() const;
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  friend class SystemLog;
  void record(const LogEntry& entry);
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel

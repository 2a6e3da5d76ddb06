#include "Support/SystemLog.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "Support/Text.hpp"

namespace vantrel {

struct SystemLog::Backend {
  std::shared_ptr<spdlog::logger> logger;
};

struct MemoryLogSink::State {
  mutable std::mutex mutex;
  std::vector<LogEntry> entries;
};

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<SystemLog::Backend>> backends;
  std::vector<spdlog::sink_ptr> sinks;
  std::vector<MemoryLogSink*> memorySinks;
  spdlog::level::level_enum minimum = spdlog::level::info;

  Registry() {
    auto stderrSink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    stderrSink->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
    sinks.push_back(stderrSink);
    if (const char* level = std::getenv("VANTREL_LOG_LEVEL")) {
      minimum = spdlog::level::from_str(level);
    }
  }
};

Registry& registry() {
  static Registry* instance = new Registry();  // never destroyed: loggers may run at exit
  return *instance;
}

spdlog::level::level_enum toSpd(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return spdlog::level::debug;
    case LogLevel::info: return spdlog::level::info;
    case LogLevel::notice: return spdlog::level::info;
    case LogLevel::error: return spdlog::level::err;
    case LogLevel::fault: return spdlog::level::critical;
  }
  return spdlog::level::info;
}

}  // namespace

SystemLog::SystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  const auto name = subsystem_ + "/" + category_;
  auto& backend = r.backends[name];
  if (!backend) {
    backend = std::make_shared<Backend>();
    backend->logger = std::make_shared<spdlog::logger>(name, r.sinks.begin(), r.sinks.end());
    backend->logger->set_level(r.minimum);
  }
  backend_ = backend;
}

void SystemLog::log(LogLevel level, std::string_view raw) const {
  // The last guard for text from outside that a caller formatted in unescaped: one line stays one
  // line, without terminal escape codes.
  const auto message = text::loggable(raw, maximumLineBytes);
  backend_->logger->log(toSpd(level), "{}", message);
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.memorySinks.empty()) return;
  const LogEntry entry{subsystem_, category_, level, message};
  for (auto* sink : r.memorySinks) sink->record(entry);
}

bool SystemLog::isEnabled(LogLevel level) const { return backend_->logger->should_log(toSpd(level)); }

void SystemLog::enableSyslog(const std::string& ident) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(ident, 0, LOG_USER, false);
  r.sinks.push_back(sink);
  for (auto& [name, backend] : r.backends) backend->logger->sinks().push_back(sink);
}

void SystemLog::setMinimumLevel(LogLevel level) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.minimum = toSpd(level);
  for (auto& [name, backend] : r.backends) backend->logger->set_level(r.minimum);
}

MemoryLogSink::MemoryLogSink() : state_(std::make_unique<State>()) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.memorySinks.push_back(this);
}

MemoryLogSink::~MemoryLogSink() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.memorySinks.erase(std::remove(r.memorySinks.begin(), r.memorySinks.end(), this), r.memorySinks.end());
}

std::vector<LogEntry> MemoryLogSink::entries() const {
  std::lock_guard lock(state_->mutex);
  return state_->entries;
}

bool MemoryLogSink::contains(std::string_view fragment) const {
  std::lock_guard lock(state_->mutex);
  return std::any_of(state_->entries.begin(), state_->entries.end(),
                     [&](const LogEntry& e) { return e.message.find(fragment) != std::string::npos; });
}

void MemoryLogSink::clear() {
  std::lock_guard lock(state_->mutex);
  state_->entries.clear();
}

void MemoryLogSink::record(const LogEntry& entry) {
  std::lock_guard lock(state_->mutex);
  state_->entries.push_back(entry);
}

}  // namespace vantrel

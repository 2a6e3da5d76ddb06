#pragma once

// The system log mirror of session events.

#include <string_view>

#include "Session/DirectAuthEvent.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

// Receives every event of a session before its event handler does, on the session's executor.
class DirectAuthSystemLogging {
 public:
  virtual ~DirectAuthSystemLogging() = default;
  virtual void mirror(const DirectAuthEvent& event) = 0;
};

// Writes each event's line to the system log at the default level, in full.
class OSLogDirectAuthSystemLogger final : public DirectAuthSystemLogging {
 public:
  static constexpr std::string_view subsystem = "local.vantrel.VantrelMac";
  static constexpr std::string_view category = "connection";

  explicit OSLogDirectAuthSystemLogger(SystemLog logger) : logger_(std::move(logger)) {}

  const SystemLog& logger() const noexcept { return logger_; }
  // Keeps no state; callable from any thread.
  void mirror(const DirectAuthEvent& event) override;

 private:
  SystemLog logger_;
};

}  // namespace vantrel

#pragma once

// How a session turns one manager input packet into mouse or keyboard events.

#include <cstdint>
#include <optional>
#include <string>

#include "Support/Error.hpp"

namespace vantrel {

struct LegacyInputPacket;

class RemoteInputInjectionError : public Error {
 public:
  enum class Case {
    unsupportedCommand,
    unsupportedMode,
    unsupportedVirtualKey,
    accessibilityDenied,
    eventCreationFailed
  };

  static RemoteInputInjectionError unsupportedCommand(std::uint8_t command) {
    return {Case::unsupportedCommand, command};
  }
  static RemoteInputInjectionError unsupportedMode(std::uint8_t mode) {
    return {Case::unsupportedMode, mode};
  }
  static RemoteInputInjectionError unsupportedVirtualKey(std::int32_t key) {
    return {Case::unsupportedVirtualKey, key};
  }
  static RemoteInputInjectionError accessibilityDenied() { return {Case::accessibilityDenied, 0}; }
  static RemoteInputInjectionError eventCreationFailed() { return {Case::eventCreationFailed, 0}; }

  Case kind() const noexcept { return case_; }
  // The command byte, mode byte or virtual-key code of the first three cases; 0 otherwise.
  std::int32_t value() const noexcept { return value_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.RemoteInputInjectionError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const RemoteInputInjectionError& a, const RemoteInputInjectionError& b) {
    return a.case_ == b.case_ && a.value_ == b.value_;
  }

 private:
  RemoteInputInjectionError(Case c, std::int32_t value) : case_(c), value_(value) {}
  Case case_;
  std::int32_t value_;
};

class RemoteInputInjecting {
 public:
  virtual ~RemoteInputInjecting() = default;
  // Applies one decoded input packet, or throws (`RemoteInputInjectionError` or another error).
  // Called on the session's executor: must not block for long; callable from any thread.
  virtual void inject(const LegacyInputPacket& packet) = 0;
};

}  // namespace vantrel

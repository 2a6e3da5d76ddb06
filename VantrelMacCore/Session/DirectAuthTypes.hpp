#pragma once

// The small values through which a manager session is configured, reports where it stands and
// says what went wrong, plus the builder of the authentication payload.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"
#include "Support/Clock.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// Where a manager session stands. The raw values are compared as text elsewhere ("authenticated")
// and must not change.
enum class DirectAuthState {
  idle,
  connecting,
  authenticating,
  authenticated,
  disconnecting,
  disconnected,
  failed,
};

namespace DirectAuthStates {
inline constexpr std::array<DirectAuthState, 7> allCases{
    DirectAuthState::idle,          DirectAuthState::connecting,    DirectAuthState::authenticating,
    DirectAuthState::authenticated, DirectAuthState::disconnecting, DirectAuthState::disconnected,
    DirectAuthState::failed,
};
}  // namespace DirectAuthStates

std::string_view rawValue(DirectAuthState state) noexcept;
namespace DirectAuthStates {
// Exactly the seven raw values, case-sensitive; nullopt for anything else.
std::optional<DirectAuthState> fromRawValue(std::string_view raw) noexcept;
}  // namespace DirectAuthStates
// The text shown to the user.
std::string_view displayName(DirectAuthState state) noexcept;

struct DirectAuthConfiguration {
  std::string host;
  std::uint16_t port = 0;
  std::string userID;
  std::uint16_t connectionNumber = 0;
  // Each of the connection and the authentication answer gets this long.
  VantrelClock::duration timeout{};

  friend bool operator==(const DirectAuthConfiguration&, const DirectAuthConfiguration&) = default;
};

class DirectAuthError : public Error {
 public:
  enum class Case {
    invalidPort,
    unexpectedCommand,
    malformedResponse,
    transport,
    invalidHost,
    invalidUserID,
    nonASCIIUserID,
    notIdle,
    alreadyAuthenticated,
    rejected,
    timeout,
    cancelled,
    notConnected,
  };

  static DirectAuthError invalidPort(std::uint16_t port) { return {Case::invalidPort, port, {}}; }
  static DirectAuthError unexpectedCommand(std::uint8_t command) {
    return {Case::unexpectedCommand, command, {}};
  }
  static DirectAuthError malformedResponse(std::string detail) {
    return {Case::malformedResponse, 0, std::move(detail)};
  }
  static DirectAuthError transport(std::string detail) { return {Case::transport, 0, std::move(detail)}; }
  static DirectAuthError invalidHost() { return {Case::invalidHost, 0, {}}; }
  static DirectAuthError invalidUserID() { return {Case::invalidUserID, 0, {}}; }
  static DirectAuthError nonASCIIUserID() { return {Case::nonASCIIUserID, 0, {}}; }
  static DirectAuthError notIdle() { return {Case::notIdle, 0, {}}; }
  static DirectAuthError alreadyAuthenticated() { return {Case::alreadyAuthenticated, 0, {}}; }
  static DirectAuthError rejected() { return {Case::rejected, 0, {}}; }
  static DirectAuthError timeout() { return {Case::timeout, 0, {}}; }
  static DirectAuthError cancelled() { return {Case::cancelled, 0, {}}; }
  static DirectAuthError notConnected() { return {Case::notConnected, 0, {}}; }

  Case kind() const noexcept { return case_; }
  // The port of `invalidPort` or the command of `unexpectedCommand`; 0 otherwise.
  std::uint16_t number() const noexcept { return number_; }
  // The detail of `malformedResponse` and `transport`; empty otherwise.
  const std::string& detail() const noexcept { return detail_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.DirectAuthError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const DirectAuthError& a, const DirectAuthError& b) {
    return a.case_ == b.case_ && a.number_ == b.number_ && a.detail_ == b.detail_;
  }

 private:
  DirectAuthError(Case c, std::uint16_t number, std::string detail)
      : case_(c), number_(number), detail_(std::move(detail)) {}
  Case case_;
  std::uint16_t number_;
  std::string detail_;
};

namespace DirectAuthPayload {
// "R_" followed by the user ID, one byte per character. Throws `invalidUserID` for an empty ID
// and `nonASCIIUserID` for any scalar outside 1…127 (NUL included).
Bytes makeRequestPayload(std::string_view userID);
}  // namespace DirectAuthPayload

// Checks a configuration before a connection attempt, first failure thrown: blank host, port 0,
// empty user ID, user ID not strict ASCII. Returns the configuration with the host trimmed; the
// user ID is never trimmed.
DirectAuthConfiguration validatedDirectAuthConfiguration(const DirectAuthConfiguration& configuration);

}  // namespace vantrel

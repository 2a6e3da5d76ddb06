#include "Session/DirectAuthTypes.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "Support/Text.hpp"

namespace vantrel {

std::string_view rawValue(DirectAuthState state) noexcept {
  switch (state) {
    case DirectAuthState::idle: return "idle";
    case DirectAuthState::connecting: return "connecting";
    case DirectAuthState::authenticating: return "authenticating";
    case DirectAuthState::authenticated: return "authenticated";
    case DirectAuthState::disconnecting: return "disconnecting";
    case DirectAuthState::disconnected: return "disconnected";
    case DirectAuthState::failed: return "failed";
  }
  return "idle";
}

std::optional<DirectAuthState> DirectAuthStates::fromRawValue(std::string_view raw) noexcept {
  for (const auto state : DirectAuthStates::allCases) {
    if (rawValue(state) == raw) return state;
  }
  return std::nullopt;
}

std::string_view displayName(DirectAuthState state) noexcept {
  switch (state) {
    case DirectAuthState::idle: return "Idle";
    case DirectAuthState::connecting: return "Connecting";
    case DirectAuthState::authenticating: return "Authenticating";
    case DirectAuthState::authenticated: return "Connected to Manager";
    case DirectAuthState::disconnecting: return "Disconnecting";
    case DirectAuthState::disconnected: return "Disconnected";
    case DirectAuthState::failed: return "Failed";
  }
  return "Idle";
}

std::optional<std::string> DirectAuthError::errorDescription() const {
  switch (case_) {
    case Case::invalidPort: return fmt::format("Port must be in 1\u202665535 (got {}).", number_);
    case Case::unexpectedCommand:
      return fmt::format("Unexpected auth response command 0x{:02X} (expected 8).", number_);
    case Case::malformedResponse: return "Malformed authentication response: " + detail_;
    case Case::transport: return "Transport error: " + detail_;
    case Case::invalidHost: return "Manager host must not be empty.";
    case Case::invalidUserID: return "User ID must not be empty.";
    case Case::nonASCIIUserID: return "User ID must be strict ASCII for direct-auth wire format R_{User_ID}.";
    case Case::notIdle: return "Cannot connect while a session is already active.";
    case Case::alreadyAuthenticated: return "Already authenticated on this session.";
    case Case::rejected: return "Manager rejected authentication (response \u201C0\u201D).";
    case Case::timeout: return "Authentication timed out waiting for the manager response.";
    case Case::cancelled: return "Authentication was cancelled.";
    case Case::notConnected: return "Not connected.";
  }
  return std::nullopt;
}

namespace DirectAuthPayload {

Bytes makeRequestPayload(std::string_view userID) {
  if (userID.empty()) throw DirectAuthError::invalidUserID();
  // Any byte outside 1…127 belongs to a scalar outside that range (or to invalid UTF-8, which
  // cannot be sent either), so a byte check is the scalar check.
  for (const char c : userID) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte > 127) throw DirectAuthError::nonASCIIUserID();
  }
  Bytes payload(2 + userID.size());
  payload[0] = 0x52;
  payload[1] = 0x5F;
  std::memcpy(payload.data() + 2, userID.data(), userID.size());
  return payload;
}

}  // namespace DirectAuthPayload

DirectAuthConfiguration validatedDirectAuthConfiguration(const DirectAuthConfiguration& configuration) {
  auto result = configuration;
  result.host = text::trimmed(configuration.host);
  if (result.host.empty()) throw DirectAuthError::invalidHost();
  if (configuration.port == 0) throw DirectAuthError::invalidPort(0);
  if (configuration.userID.empty()) throw DirectAuthError::invalidUserID();
  (void)DirectAuthPayload::makeRequestPayload(configuration.userID);
  // An absurd time-out is capped, so that its deadline cannot overflow the clock.
  constexpr VantrelClock::duration longest = std::chrono::hours(24 * 365 * 100);
  result.timeout = std::clamp(configuration.timeout, VantrelClock::duration::zero(), longest);
  return result;
}

}  // namespace vantrel

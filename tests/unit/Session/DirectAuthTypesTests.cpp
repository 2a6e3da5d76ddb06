#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Session/DirectAuthTypes.hpp"

namespace vantrel {
namespace {

TEST(DirectAuthState, RawValuesDisplayNamesAndOrder) {
  struct Row {
    DirectAuthState state;
    const char* raw;
    const char* display;
  };
  const std::vector<Row> rows{
      {DirectAuthState::idle, "idle", "Idle"},
      {DirectAuthState::connecting, "connecting", "Connecting"},
      {DirectAuthState::authenticating, "authenticating", "Authenticating"},
      {DirectAuthState::authenticated, "authenticated", "Connected to Manager"},
      {DirectAuthState::disconnecting, "disconnecting", "Disconnecting"},
      {DirectAuthState::disconnected, "disconnected", "Disconnected"},
      {DirectAuthState::failed, "failed", "Failed"},
  };
  ASSERT_EQ(DirectAuthStates::allCases.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].raw);
    EXPECT_EQ(DirectAuthStates::allCases[i], rows[i].state);
    EXPECT_EQ(rawValue(rows[i].state), rows[i].raw);
    EXPECT_EQ(displayName(rows[i].state), rows[i].display);
    EXPECT_EQ(DirectAuthStates::fromRawValue(rows[i].raw), rows[i].state);
  }
}

TEST(DirectAuthState, FromRawValueIsExactAndCaseSensitive) {
  for (const char* text :
       {"Idle", "FAILED", "", " idle", "idle ", "Connected to Manager", "authenticated\n"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(DirectAuthStates::fromRawValue(text).has_value());
  }
  EXPECT_EQ(DirectAuthStates::fromRawValue("failed"), DirectAuthState::failed);
}

TEST(DirectAuthError, DescriptionsOfEveryCase) {
  struct Row {
    DirectAuthError error;
    std::string text;
  };
  const std::vector<Row> rows{
      {DirectAuthError::invalidPort(0), "Port must be in 1\u202665535 (got 0)."},
      {DirectAuthError::invalidPort(65535), "Port must be in 1\u202665535 (got 65535)."},
      {DirectAuthError::unexpectedCommand(10), "Unexpected auth response command 0x0A (expected 8)."},
      {DirectAuthError::unexpectedCommand(255), "Unexpected auth response command 0xFF (expected 8)."},
      {DirectAuthError::unexpectedCommand(0), "Unexpected auth response command 0x00 (expected 8)."},
      {DirectAuthError::malformedResponse("short"), "Malformed authentication response: short"},
      {DirectAuthError::transport("TCP connection failed: x"), "Transport error: TCP connection failed: x"},
      {DirectAuthError::invalidHost(), "Manager host must not be empty."},
      {DirectAuthError::invalidUserID(), "User ID must not be empty."},
      {DirectAuthError::nonASCIIUserID(),
       "User ID must be strict ASCII for direct-auth wire format R_{User_ID}."},
      {DirectAuthError::notIdle(), "Cannot connect while a session is already active."},
      {DirectAuthError::alreadyAuthenticated(), "Already authenticated on this session."},
      {DirectAuthError::rejected(),
       "Manager rejected authentication (response \xE2\x80\x9C"
       "0\xE2\x80\x9D)."},
      {DirectAuthError::timeout(), "Authentication timed out waiting for the manager response."},
      {DirectAuthError::cancelled(), "Authentication was cancelled."},
      {DirectAuthError::notConnected(), "Not connected."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.error.errorDescription(), row.text);
    EXPECT_EQ(std::string(row.error.what()), row.text);
    EXPECT_EQ(localizedDescription(row.error), row.text);
    EXPECT_FALSE(row.error.failureReason().has_value());
  }
}

TEST(DirectAuthPayload, BuildsPrefixAndAsciiBytes) {
  EXPECT_EQ(DirectAuthPayload::makeRequestPayload("abc"), (Bytes{0x52, 0x5F, 0x61, 0x62, 0x63}));
  // Blanks are kept, DEL (127) and SOH (1) are ASCII.
  EXPECT_EQ(DirectAuthPayload::makeRequestPayload(" a "), (Bytes{0x52, 0x5F, 0x20, 0x61, 0x20}));
  EXPECT_EQ(DirectAuthPayload::makeRequestPayload("\x7F\x01"), (Bytes{0x52, 0x5F, 0x7F, 0x01}));
}

TEST(DirectAuthPayload, RejectsEmptyAndNonAscii) {
  EXPECT_EQ(([] {
              try {
                DirectAuthPayload::makeRequestPayload("");
              } catch (const DirectAuthError& e) {
                return e.kind();
              }
              return DirectAuthError::Case::notConnected;
            }()),
            DirectAuthError::Case::invalidUserID);
  const std::vector<std::string> bad{"caf\u00E9", "a\U0001F600", std::string("a\0b", 3), "\xFF",
                                     std::string(1, '\0')};
  for (const auto& id : bad) {
    SCOPED_TRACE(id);
    EXPECT_THROW(
        {
          try {
            DirectAuthPayload::makeRequestPayload(id);
          } catch (const DirectAuthError& e) {
            EXPECT_EQ(e, DirectAuthError::nonASCIIUserID());
            throw;
          }
        },
        DirectAuthError);
  }
}

DirectAuthConfiguration config(std::string host, std::uint16_t port, std::string user) {
  return DirectAuthConfiguration{std::move(host), port, std::move(user), 3, std::chrono::seconds(5)};
}

std::optional<DirectAuthError> validationError(const DirectAuthConfiguration& c) {
  try {
    validatedDirectAuthConfiguration(c);
  } catch (const DirectAuthError& e) {
    return e;
  }
  return std::nullopt;
}

TEST(DirectAuthConfiguration, ValidationOrderAndTrimming) {
  // The host is checked first, then the port, then the user ID.
  EXPECT_EQ(validationError(config(" \n\t ", 0, "")), DirectAuthError::invalidHost());
  EXPECT_EQ(validationError(config("h", 0, "")), DirectAuthError::invalidPort(0));
  EXPECT_EQ(validationError(config("h", 1, "")), DirectAuthError::invalidUserID());
  EXPECT_EQ(validationError(config("h", 1, "\u00E9")), DirectAuthError::nonASCIIUserID());
  EXPECT_EQ(validationError(config("\u3000", 1, "u")), DirectAuthError::invalidHost());

  const auto valid = validatedDirectAuthConfiguration(config(" mgr.local \n", 65535, " user "));
  EXPECT_EQ(valid.host, "mgr.local");
  EXPECT_EQ(valid.userID, " user ");
  EXPECT_EQ(valid.port, 65535);
  EXPECT_EQ(valid.connectionNumber, 3);
  EXPECT_EQ(valid.timeout, std::chrono::seconds(5));

  // A time-out whose deadline would overflow the clock is capped; a negative one is none.
  auto endless = config("h", 1, "u");
  endless.timeout = VantrelClock::duration::max();
  EXPECT_EQ(validatedDirectAuthConfiguration(endless).timeout, std::chrono::hours(24 * 365 * 100));
  endless.timeout = -std::chrono::seconds(1);
  EXPECT_EQ(validatedDirectAuthConfiguration(endless).timeout, VantrelClock::duration::zero());
}

}  // namespace
}  // namespace vantrel

#pragma once

// One manager endpoint: the saved direct-connection form and the element of every candidate
// list the connection cycles try.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vantrel {

class UserDefaults;

struct DirectConnectionSettings {
  std::string host;
  std::uint16_t port = defaultPort;
  std::string userID;
  std::uint16_t connectionNumber = 0;  // client number minus 1

  static constexpr std::uint16_t defaultPort = 65333;
  static constexpr std::string_view hostKey = "VantrelMac.directConnection.host";
  static constexpr std::string_view portKey = "VantrelMac.directConnection.port";
  static constexpr std::string_view userIDKey = "VantrelMac.directConnection.userID";
  static constexpr std::string_view connectionNumberKey = "VantrelMac.directConnection.connectionNumber";

  // Missing or wrongly typed keys give the defaults: empty host and user ID unless text is stored,
  // port 65333 unless an integer in 1…65535 is stored, connection number 0 unless an integer in
  // 0…65535 is stored (text is no integer, whatever it spells).
  static DirectConnectionSettings load(const UserDefaults& defaults);
  // Host and user ID as text, port and connection number as integers, in one write.
  void save(UserDefaults& defaults) const;

  friend bool operator==(const DirectConnectionSettings&, const DirectConnectionSettings&) = default;
};

// The outcome of checking the direct-connection form; the failures in the order they are tested.
enum class DirectConnectionFormValidation {
  valid,
  missingHost,
  invalidPort,
  missingUserID,
  nonASCIIUserID,
  invalidManagerSlot,
};

// The message shown for a failing outcome; empty for `valid`.
std::string_view message(DirectConnectionFormValidation validation) noexcept;

namespace DirectConnectionFormParser {

struct Result {
  DirectConnectionFormValidation validation = DirectConnectionFormValidation::valid;
  std::optional<DirectConnectionSettings> settings;  // only with `valid`
};

// Checks the four text fields; the first failing test wins. With `valid` the settings hold the
// trimmed host, the port, the user ID unchanged and the connection number of the manager slot.
Result validate(std::string_view host, std::string_view portText, std::string_view userID,
                std::string_view managerSlotText);

// The port field: trimmed, an optional sign and decimal digits (no overflow), in 1…65535.
std::optional<std::uint16_t> parsePort(std::string_view portText);

}  // namespace DirectConnectionFormParser

}  // namespace vantrel

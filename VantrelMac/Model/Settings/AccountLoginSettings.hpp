#pragma once

// What the application remembers between launches about the account login: the login form and
// the device identity sent with every login.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Model/Settings/UserDefaults.hpp"

namespace vantrel {

class UserDefaults;

struct AccountLoginSettings {
  std::string accountID;
  std::string requestedSlotText = "0";  // "0": let the server assign the client number
  std::string setupName;                // sent as the computer name
  bool rememberAccountID = true;        // the AUTO LOGIN switch
  std::uint64_t serial = 0;             // nine digits, generated on the first launch
  std::string installationMAC;          // "02:XX:XX:XX:XX:XX", generated on the first launch

  static constexpr std::string_view accountIDKey = "VantrelMac.accountLogin.accountID";
  static constexpr std::string_view requestedSlotKey = "VantrelMac.accountLogin.requestedSlot";
  static constexpr std::string_view setupNameKey = "VantrelMac.accountLogin.setupName";
  static constexpr std::string_view rememberAccountIDKey = "VantrelMac.accountLogin.rememberAccountID";
  static constexpr std::string_view serialKey = "VantrelMac.accountLogin.serial";
  static constexpr std::string_view installationMACKey = "VantrelMac.accountLogin.installationMAC";

  // The host's name for the setup-name default; nullopt when the host has none.
  using HostNameProvider = std::function<std::optional<std::string>()>;

  // Reads the settings, completes what is missing or stored with another type (a new serial and
  // MAC on the first launch, the host's name as setup name, "Mac" without one) and writes all six
  // keys back, in one write, before returning them.
  static AccountLoginSettings load(UserDefaults& defaults,
                                   const HostNameProvider& hostName = currentHostLocalizedName);
  // Writes the six keys (the account ID only while AUTO LOGIN is on, else the empty text).
  void save(UserDefaults& defaults) const;
  // The six keys and their values as `save` writes them.
  UserDefaults::Changes changes() const;

  // PRETTY_HOSTNAME of <system root>/etc/machine-info when set, else the host name; nullopt
  // when neither is known.
  static std::optional<std::string> currentHostLocalizedName();
  // A value in 100,000,000…999,999,999 from the system's random source.
  static std::uint64_t makeSerial();
  // 02 followed by the first five bytes of a new random UUID, "%02X" joined by ":".
  static std::string makeInstallationMAC();

  friend bool operator==(const AccountLoginSettings&, const AccountLoginSettings&) = default;
};

// The value of PRETTY_HOSTNAME in the text of a machine-info file (shell-style assignment, quotes
// removed); nullopt when it is missing or empty.
std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text);

}  // namespace vantrel

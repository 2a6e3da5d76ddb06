#include "Model/Settings/AccountLoginSettings.hpp"

#include <unistd.h>

#include <array>
#include <climits>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "Model/Settings/UserDefaults.hpp"
#include "Support/Paths.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {
namespace {

// A uniformly random value below `bound`, by rejection from the kernel's random source.
std::uint64_t uniformRandomBelow(std::uint64_t bound) {
  const std::uint64_t limit = UINT64_MAX - (UINT64_MAX % bound);
  for (;;) {
    std::uint64_t value = 0;
    secureRandomBytes(reinterpret_cast<std::uint8_t*>(&value), sizeof value);
    if (value < limit) return value % bound;
  }
}

// The value of a shell-style assignment: quotes removed, backslash escapes resolved.
std::string unquote(std::string_view raw) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quote == '\'') {
      if (c == '\'')
        quote = 0;
      else
        out.push_back(c);
    } else if (c == '\\' && i + 1 < raw.size()) {
      out.push_back(raw[++i]);
    } else if (quote == '"') {
      if (c == '"')
        quote = 0;
      else
        out.push_back(c);
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text) {
  std::optional<std::string> found;
  constexpr std::string_view key = "PRETTY_HOSTNAME=";
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    auto line = text.substr(start, end - start);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (line.substr(0, key.size()) == key) found = unquote(line.substr(key.size()));  // the last one counts
    start = end + 1;
  }
  if (!found || found->empty()) return std::nullopt;
  return found;
}

std::optional<std::string> AccountLoginSettings::currentHostLocalizedName() {
  std::ifstream file(paths::systemRoot() / "etc" / "machine-info");
  if (file) {
    std::ostringstream content;
    content << file.rdbuf();
    if (auto pretty = prettyHostNameFromMachineInfo(content.str())) return pretty;
  }
  std::array<char, HOST_NAME_MAX + 1> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) == 0 && buffer[0] != '\0') {
    return std::string(buffer.data());
  }
  return std::nullopt;
}

std::uint64_t AccountLoginSettings::makeSerial() { return uniformRandomBelow(900'000'000) + 100'000'000; }

std::string AccountLoginSettings::makeInstallationMAC() {
  const auto uuid = Uuid::random();
  std::string mac = "02";
  for (std::size_t i = 0; i < 5; ++i) mac += fmt::format(":{:02X}", uuid.bytes()[i]);
  return mac;
}

AccountLoginSettings AccountLoginSettings::load(UserDefaults& defaults, const HostNameProvider& hostName) {
  // Each key by the type it was stored with; a value of another type gives the key's default.
  AccountLoginSettings settings;
  const auto storedSerial = defaults.unsignedInteger(serialKey);
  settings.serial = storedSerial ? *storedSerial : makeSerial();
  if (auto mac = defaults.storedString(installationMACKey)) {
    settings.installationMAC = std::move(*mac);
  } else {
    settings.installationMAC = makeInstallationMAC();
  }
  // AUTO LOGIN goes off only for a stored Bool false: the stored type decides, not a conversion.
  const auto remember = defaults.value(rememberAccountIDKey);
  settings.rememberAccountID = !(remember && remember->is_boolean() && !remember->get<bool>());
  settings.accountID = settings.rememberAccountID ? defaults.storedString(accountIDKey).value_or("") : "";
  settings.requestedSlotText = defaults.storedString(requestedSlotKey).value_or("0");
  if (auto name = defaults.storedString(setupNameKey)) {
    settings.setupName = std::move(*name);
  } else {
    settings.setupName = (hostName ? hostName() : std::nullopt).value_or("Mac");
  }
  // Written back at once: the generated serial and MAC must be the same at the next launch, and
  // what is stored is from now on exactly what this launch uses.
  settings.save(defaults);
  return settings;
}

UserDefaults::Changes AccountLoginSettings::changes() const {
  return {
      {std::string(accountIDKey), rememberAccountID ? accountID : std::string()},
      {std::string(requestedSlotKey), requestedSlotText},
      {std::string(setupNameKey), setupName},
      {std::string(rememberAccountIDKey), rememberAccountID},
      {std::string(serialKey), serial},
      {std::string(installationMACKey), installationMAC},
  };
}

void AccountLoginSettings::save(UserDefaults& defaults) const { defaults.setValues(changes()); }

}  // namespace vantrel

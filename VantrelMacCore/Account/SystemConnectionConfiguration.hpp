#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Error.hpp"

namespace vantrel {

// Why the connection file could not be decoded.
class ConfigurationDecodingError : public Error {
 public:
  explicit ConfigurationDecodingError(std::string detail) : detail_(std::move(detail)) {}
  std::optional<std::string> errorDescription() const override {
    return "The data couldn’t be read because it isn’t in the correct format.";
  }
  std::optional<std::string> failureReason() const override { return detail_; }
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

// The system-wide connection file the session agent reads.
struct SystemConnectionConfiguration {
  std::string host;
  std::uint16_t port = 0;
  std::string userID;
  std::uint16_t connectionNumber = 0;

  // <system root>/etc/VantrelMac/connection.json
  static std::filesystem::path defaultURL();

  // Strict decoding of a JSON object with "host", "port", "userID" and "connectionNumber": a
  // missing key, a wrong type or a number outside 0…65535 throws `ConfigurationDecodingError`.
  static SystemConnectionConfiguration decode(std::string_view json);

  friend bool operator==(const SystemConnectionConfiguration&,
                         const SystemConnectionConfiguration&) = default;
};

}  // namespace vantrel

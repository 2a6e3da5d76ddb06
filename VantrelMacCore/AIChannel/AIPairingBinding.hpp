#pragma once

// What a paired secure session is bound to: an account, a manager host and port, and a slot;
// and the controller that keeps such a session (no creator in the application gives one).

#include <cstdint>
#include <string>

#include "Support/Async.hpp"

namespace vantrel {

struct AIPairingBinding {
  static constexpr std::size_t maximumAccountBytes = 128;
  static constexpr std::size_t maximumHostBytes = 253;

  // Trims and lower-cases the texts. Throws `AIChannelError::invalid("invalid_pairing_binding")`
  // when the account or host is empty or too long, the port is 0 or the slot is outside 1…65536.
  AIPairingBinding(const std::string& account, const std::string& host, std::uint16_t legacyPort, int slot);

  std::string account;
  std::string host;
  std::uint16_t legacyPort;
  int slot;

  friend bool operator==(const AIPairingBinding&, const AIPairingBinding&) = default;
};

class AISecureSessionController {
 public:
  virtual ~AISecureSessionController() = default;
  // Cancels any earlier attempt and starts keeping a paired secure session for the binding.
  virtual Awaitable<void> start(AIPairingBinding binding) = 0;
  // Ends the retry loop and the current secure session.
  virtual Awaitable<void> stop() = 0;
};

}  // namespace vantrel

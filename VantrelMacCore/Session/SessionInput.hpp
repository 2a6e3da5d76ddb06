#pragma once

// The manager's input packets (HEADER_INPUT) as one session applies them: each packet is decoded,
// injected under a `remoteInput` activity lease and reported, with the diagnostic events thinned
// out (the first, every hundredth, and every change of a non-key kind).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Activity/UpdateActivityGate.hpp"
#include "Session/DirectAuthEvent.hpp"
#include "Session/RemoteInputInjecting.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class SessionInput {
 public:
  SessionInput(std::shared_ptr<RemoteInputInjecting> injector, std::shared_ptr<UpdateActivityGate> gate,
               std::function<void(DirectAuthEvent::Kind)> emit);

  // Handles one packet to its end; never throws.
  void handlePacket(ByteView payload);
  // A new connection: the counters start again.
  void reset() noexcept;

 private:
  const std::shared_ptr<RemoteInputInjecting> injector_;
  const std::shared_ptr<UpdateActivityGate> gate_;
  const std::function<void(DirectAuthEvent::Kind)> emit_;
  long long applied_ = 0;
  bool permissionDeniedLogged_ = false;
  std::optional<std::string> lastDiagnosticKind_;
};

}  // namespace vantrel

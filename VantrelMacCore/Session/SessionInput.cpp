#include "Session/SessionInput.hpp"

#include "Protocol/LegacyInputPacket.hpp"

namespace vantrel {

namespace K = DirectAuthEventKinds;

SessionInput::SessionInput(std::shared_ptr<RemoteInputInjecting> injector,
                           std::shared_ptr<UpdateActivityGate> gate,
                           std::function<void(DirectAuthEvent::Kind)> emit)
    : injector_(std::move(injector)), gate_(std::move(gate)), emit_(std::move(emit)) {}

void SessionInput::handlePacket(ByteView payload) {
  ActivityLeaseGuard lease(gate_->acquire(UpdateActivityGate::Kind::remoteInput));
  if (!lease) return;
  const auto packet = LegacyInputPacket::decode(payload);
  if (!packet) {
    emit_(K::InputPacketRejected{"HEADER_INPUT payload must be exactly 20 bytes"});
    return;
  }
  try {
    injector_->inject(*packet);
  } catch (const RemoteInputInjectionError& e) {
    if (e.kind() != RemoteInputInjectionError::Case::accessibilityDenied) {
      emit_(K::InputPacketRejected{e.localizedDescription()});
    } else if (!permissionDeniedLogged_) {
      permissionDeniedLogged_ = true;
      emit_(
          K::InputPermissionDenied{"Grant VantrelMac in Privacy & Security > Accessibility, then relaunch"});
    }
    return;
  } catch (const std::exception& e) {
    emit_(K::InputPacketRejected{localizedDescription(e)});
    return;
  }
  ++applied_;
  permissionDeniedLogged_ = false;
  const std::string kind = packet->diagnosticKind();
  const bool isKey = kind.rfind("key-", 0) == 0;
  if (applied_ == 1 || applied_ % 100 == 0 || (!isKey && lastDiagnosticKind_ != kind)) {
    emit_(K::InputEventApplied{kind, applied_});
  }
  lastDiagnosticKind_ = kind;
}

void SessionInput::reset() noexcept {
  applied_ = 0;
  permissionDeniedLogged_ = false;
  lastDiagnosticKind_.reset();
}

}  // namespace vantrel

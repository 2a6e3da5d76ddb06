#include "Activity/UpdateActivityGate.hpp"

#include <cmath>

#include "Support/Clock.hpp"
#include "Support/Text.hpp"

namespace vantrel {

std::string_view UpdateActivityGate::rawValue(Kind kind) noexcept {
  switch (kind) {
    case Kind::remoteScreen: return "remoteScreen";
    case Kind::fileTransfer: return "fileTransfer";
    case Kind::remoteInput: return "remoteInput";
    case Kind::developmentJob: return "developmentJob";
  }
  return "remoteScreen";
}

std::optional<UpdateActivityGate::Kind> UpdateActivityGate::kindFromRawValue(std::string_view raw) noexcept {
  for (const auto kind : allKinds) {
    if (rawValue(kind) == raw) return kind;
  }
  return std::nullopt;
}

UpdateActivityGate::Lease::~Lease() { end(); }

void UpdateActivityGate::Lease::end() {
  // Releasing an identity twice changes nothing, so the end and the destructor may both run.
  if (gate_) gate_->release(id_);
}

bool UpdateActivityGate::Snapshot::isBusy() const noexcept {
  for (const auto& [kind, count] : counts) {
    if (count > 0) return true;
  }
  return false;
}

int UpdateActivityGate::Snapshot::screenSessions() const noexcept {
  const auto it = counts.find(Kind::remoteScreen);
  return it == counts.end() ? 0 : it->second;
}

int UpdateActivityGate::Snapshot::fileTransfers() const noexcept {
  const auto it = counts.find(Kind::fileTransfer);
  return it == counts.end() ? 0 : it->second;
}

std::shared_ptr<UpdateActivityGate> UpdateActivityGate::shared() {
  static const std::shared_ptr<UpdateActivityGate> instance = create();
  return instance;
}

std::shared_ptr<UpdateActivityGate> UpdateActivityGate::create() {
  return std::shared_ptr<UpdateActivityGate>(new UpdateActivityGate());
}

std::shared_ptr<UpdateActivityGate::Lease> UpdateActivityGate::acquire(Kind kind) {
  // Made before the lock: nothing outside the gate runs while it is held.
  auto self = shared_from_this();
  const auto id = Uuid::random();
  std::shared_ptr<Lease> lease(new Lease(std::move(self), id));
  {
    std::lock_guard guard(lock_);
    if (!installationOwner_) {
      leases_.emplace(id, kind);
      lastActivityChange_ = systemUptimeSeconds();
      return lease;
    }
  }
  // Refused: the lease never entered the table; it must not release anything on its way out.
  lease->gate_.reset();
  return nullptr;
}

void UpdateActivityGate::release(const Uuid& id) {
  std::lock_guard guard(lock_);
  if (leases_.erase(id) > 0) lastActivityChange_ = systemUptimeSeconds();
}

UpdateActivityGate::Snapshot UpdateActivityGate::snapshot() const {
  std::lock_guard guard(lock_);
  Snapshot result;
  for (const auto& [id, kind] : leases_) ++result.counts[kind];
  result.installationCommitted = installationOwner_.has_value();
  result.updaterStatus = updaterStatus_;
  return result;
}

void UpdateActivityGate::publishUpdaterStatus(std::string_view status) {
  auto cut = text::prefixCharacters(status, maximumStatusCharacters);
  std::lock_guard guard(lock_);
  updaterStatus_ = std::move(cut);
}

bool UpdateActivityGate::reserveInstallationIfIdle(const Uuid& owner, double minimumQuietTime) {
  std::lock_guard guard(lock_);
  if (!std::isfinite(minimumQuietTime) || minimumQuietTime < 0) return false;
  if (installationOwner_) return false;
  if (!leases_.empty()) return false;
  if (systemUptimeSeconds() - lastActivityChange_ < minimumQuietTime) return false;
  installationOwner_ = owner;
  return true;
}

bool UpdateActivityGate::commitInstallationIfIdle(double minimumQuietTime) {
  return reserveInstallationIfIdle(Uuid::random(), minimumQuietTime);
}

void UpdateActivityGate::cancelInstallation(const std::optional<Uuid>& owner) {
  std::lock_guard guard(lock_);
  if (!owner || installationOwner_ == owner) installationOwner_.reset();
}

}  // namespace vantrel

#pragma once

// The process-wide register of remote activities that an application update must not
// interrupt. Every activity holds a lease while it runs; the updater installs only after it has
// reserved the gate while no lease was held and the gate had been quiet for a while, and a
// reserved gate refuses new leases. Thread-safe: every operation runs under one lock.

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Uuid.hpp"

namespace vantrel {

class UpdateActivityGate : public std::enable_shared_from_this<UpdateActivityGate> {
 public:
  enum class Kind { remoteScreen, fileTransfer, remoteInput, developmentJob };
  static constexpr std::array<Kind, 4> allKinds{Kind::remoteScreen, Kind::fileTransfer, Kind::remoteInput,
                                                Kind::developmentJob};
  static std::string_view rawValue(Kind kind) noexcept;
  // Exactly the four raw values, case-sensitive.
  static std::optional<Kind> kindFromRawValue(std::string_view raw) noexcept;

  // One live activity. It ends at `end()` or when its last owner lets go of it, whichever comes
  // first; the later of the two has no effect. It keeps its gate alive.
  class Lease {
   public:
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    void end();
    const Uuid& id() const noexcept { return id_; }
    const std::shared_ptr<UpdateActivityGate>& gate() const noexcept { return gate_; }

   private:
    friend class UpdateActivityGate;
    Lease(std::shared_ptr<UpdateActivityGate> gate, Uuid id) : gate_(std::move(gate)), id_(id) {}
    std::shared_ptr<UpdateActivityGate> gate_;
    Uuid id_;
  };

  struct Snapshot {
    std::map<Kind, int> counts;  // a kind without a live lease has no entry
    bool installationCommitted = false;
    std::string updaterStatus;

    bool isBusy() const noexcept;
    int screenSessions() const noexcept;
    int fileTransfers() const noexcept;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
  };

  static constexpr std::size_t maximumStatusCharacters = 256;
  static constexpr std::string_view initialUpdaterStatus = "업데이트 서비스 시작 전";

  // The process-wide gate, created on first use.
  static std::shared_ptr<UpdateActivityGate> shared();
  // An independent gate.
  static std::shared_ptr<UpdateActivityGate> create();

  UpdateActivityGate(const UpdateActivityGate&) = delete;
  UpdateActivityGate& operator=(const UpdateActivityGate&) = delete;

  // A new lease, or nullptr while an installation is reserved.
  std::shared_ptr<Lease> acquire(Kind kind);
  Snapshot snapshot() const;
  // Stores the first 256 user-perceived characters of the text.
  void publishUpdaterStatus(std::string_view status);
  // Reserves the gate for `owner` when it is open, holds no lease and has been quiet for at
  // least `minimumQuietTime` seconds of uptime. A quiet time that is NaN, infinite or negative
  // is a refusal.
  bool reserveInstallationIfIdle(const Uuid& owner, double minimumQuietTime);
  bool commitInstallationIfIdle(double minimumQuietTime);
  // Without an owner clears any reservation; with one, only a matching reservation.
  void cancelInstallation(const std::optional<Uuid>& owner);

 private:
  UpdateActivityGate() = default;
  void release(const Uuid& id);

  mutable std::mutex lock_;
  std::map<Uuid, Kind> leases_;
  std::optional<Uuid> installationOwner_;
  double lastActivityChange_ = 0;
  std::string updaterStatus_{initialUpdaterStatus};
};

// Holds one lease for a scope and ends it when the scope ends, also when a suspended coroutine's
// frame is destroyed. An empty guard (a refused lease) ends nothing.
class ActivityLeaseGuard {
 public:
  ActivityLeaseGuard() noexcept = default;
  explicit ActivityLeaseGuard(std::shared_ptr<UpdateActivityGate::Lease> lease) noexcept
      : lease_(std::move(lease)) {}
  ~ActivityLeaseGuard() { release(); }
  ActivityLeaseGuard(ActivityLeaseGuard&& other) noexcept : lease_(std::move(other.lease_)) {}
  ActivityLeaseGuard& operator=(ActivityLeaseGuard&& other) noexcept {
    if (this != &other) {
      release();
      lease_ = std::move(other.lease_);
    }
    return *this;
  }
  ActivityLeaseGuard(const ActivityLeaseGuard&) = delete;
  ActivityLeaseGuard& operator=(const ActivityLeaseGuard&) = delete;

  explicit operator bool() const noexcept { return lease_ != nullptr; }
  const std::shared_ptr<UpdateActivityGate::Lease>& lease() const noexcept { return lease_; }
  // Ends the lease now; the guard is empty afterwards.
  void release() noexcept {
    if (lease_) {
      lease_->end();
      lease_.reset();
    }
  }

 private:
  std::shared_ptr<UpdateActivityGate::Lease> lease_;
};

}  // namespace vantrel

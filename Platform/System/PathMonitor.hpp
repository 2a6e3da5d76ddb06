#pragma once

// Whether the machine has a usable network path, read from rtnetlink: links, addresses and
// routes are dumped at start and then followed through the kernel's change notifications.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <tuple>
#include <vector>

namespace vantrel {

enum class NetworkPathStatus { satisfied, unsatisfied, requiresConnection };

// A source of network path updates. The handler runs on the monitor's own thread; its first call
// carries the status found at start, later calls each carry a changed status.
class PathMonitor {
 public:
  using UpdateHandler = std::function<void(NetworkPathStatus)>;
  virtual ~PathMonitor() = default;
  virtual void start(UpdateHandler handler) = 0;
  // Final: once it returns the handler is never called again.
  virtual void cancel() = 0;
};

// What the kernel has told us about links, addresses and default routes.
struct NetworkSnapshot {
  struct Address {
    int interfaceIndex = 0;
    int family = 0;
    int prefixLength = 0;
    std::vector<unsigned char> bytes;
    auto operator<=>(const Address&) const = default;
  };
  struct Route {
    int family = 0;
    unsigned table = 0;
    unsigned priority = 0;
    int tos = 0;
    auto operator<=>(const Route&) const = default;
  };

  // Interface index → IFF_* flags.
  std::map<int, unsigned> linkFlags;
  // Addresses of global scope (link-local, host and site scopes give no path out).
  std::set<Address> globalAddresses;
  // Unicast default routes → the interfaces their next hops leave through.
  std::map<Route, std::set<int>> defaultRoutes;
};

// Satisfied when some interface other than loopback is up with carrier, holds a global address
// and is the way out of a default route of that address's family; unsatisfied otherwise.
NetworkPathStatus evaluateNetworkPath(const NetworkSnapshot& snapshot);

// Applies one rtnetlink message (RTM_NEW/DEL LINK, ADDR or ROUTE; others are ignored) to the
// snapshot. Every length is checked: a short or malformed message changes nothing.
void applyRouteNetlinkMessage(NetworkSnapshot& snapshot, std::span<const unsigned char> message);

class NetlinkPathMonitor final : public PathMonitor {
 public:
  NetlinkPathMonitor();
  // Cancels and joins the thread.
  ~NetlinkPathMonitor() override;
  NetlinkPathMonitor(const NetlinkPathMonitor&) = delete;
  NetlinkPathMonitor& operator=(const NetlinkPathMonitor&) = delete;

  // Opens the netlink sockets on the calling thread (so they watch its network namespace); the
  // dump and the changes are read on the monitor's thread. Once per monitor.
  void start(UpdateHandler handler) override;
  void cancel() override;

 private:
  void run();
  bool resynchronize();
  bool drainNotifications();

  UpdateHandler handler_;
  int eventSocket_ = -1;
  int dumpSocket_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  bool started_ = false;
  bool cancelled_ = false;
  NetworkSnapshot snapshot_;
  std::uint32_t sequence_ = 0;
};

}  // namespace vantrel

#include "Platform/System/PathMonitor.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

using Bytes = std::span<const unsigned char>;

const SystemLog& pathLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "path-monitor");
  return log;
}

template <typename T>
bool readStruct(Bytes bytes, T& out) {
  if (bytes.size() < sizeof(T)) return false;
  std::memcpy(&out, bytes.data(), sizeof(T));
  return true;
}

// Calls `visit(type, payload)` for every attribute after a fixed header of `headerSize` bytes.
template <typename Visit>
void forEachAttribute(Bytes body, std::size_t headerSize, Visit&& visit) {
  std::size_t offset = NLMSG_ALIGN(headerSize);
  while (offset + sizeof(rtattr) <= body.size()) {
    rtattr attribute{};
    std::memcpy(&attribute, body.data() + offset, sizeof attribute);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > body.size() - offset) return;
    visit(attribute.rta_type, body.subspan(offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
    offset += RTA_ALIGN(attribute.rta_len);
  }
}

std::optional<std::uint32_t> u32Of(Bytes payload) {
  std::uint32_t value = 0;
  if (!readStruct(payload, value)) return std::nullopt;
  return value;
}

void applyLink(NetworkSnapshot& snapshot, std::uint16_t type, Bytes body) {
  ifinfomsg info{};
  if (!readStruct(body, info)) return;
  if (type == RTM_NEWLINK) {
    snapshot.linkFlags[info.ifi_index] = info.ifi_flags;
    return;
  }
  snapshot.linkFlags.erase(info.ifi_index);
  std::erase_if(snapshot.globalAddresses,
                [&](const NetworkSnapshot::Address& a) { return a.interfaceIndex == info.ifi_index; });
}

void applyAddress(NetworkSnapshot& snapshot, std::uint16_t type, Bytes body) {
  ifaddrmsg header{};
  if (!readStruct(body, header)) return;
  if (header.ifa_family != AF_INET && header.ifa_family != AF_INET6) return;
  std::uint32_t flags = header.ifa_flags;
  Bytes local;
  Bytes address;
  forEachAttribute(body, sizeof header, [&](unsigned short attribute, Bytes payload) {
    if (attribute == IFA_LOCAL) local = payload;
    if (attribute == IFA_ADDRESS) address = payload;
    if (attribute == IFA_FLAGS) flags = u32Of(payload).value_or(flags);
  });
  // On point-to-point links IFA_ADDRESS is the peer; IFA_LOCAL is ours when present.
  const Bytes own = local.empty() ? address : local;
  if (own.empty()) return;
  NetworkSnapshot::Address key{static_cast<int>(header.ifa_index), header.ifa_family, header.ifa_prefixlen,
                               std::vector<unsigned char>(own.begin(), own.end())};
  // An address still being checked for duplicates (or found duplicate) carries no traffic yet.
  const bool usable = header.ifa_scope == RT_SCOPE_UNIVERSE && !(flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED));
  if (type == RTM_NEWADDR && usable) {
    snapshot.globalAddresses.insert(std::move(key));
  } else {
    snapshot.globalAddresses.erase(key);
  }
}

void applyRoute(NetworkSnapshot& snapshot, std::uint16_t type, Bytes body) {
  rtmsg header{};
  if (!readStruct(body, header)) return;
  if (header.rtm_dst_len != 0 || (header.rtm_family != AF_INET && header.rtm_family != AF_INET6)) return;
  unsigned table = header.rtm_table;
  unsigned priority = 0;
  std::set<int> interfaces;
  forEachAttribute(body, sizeof header, [&](unsigned short attribute, Bytes payload) {
    if (attribute == RTA_TABLE) table = u32Of(payload).value_or(table);
    if (attribute == RTA_PRIORITY) priority = u32Of(payload).value_or(priority);
    if (attribute == RTA_OIF) {
      if (auto index = u32Of(payload)) interfaces.insert(static_cast<int>(*index));
    }
    if (attribute == RTA_MULTIPATH) {
      std::size_t offset = 0;
      while (offset + sizeof(rtnexthop) <= payload.size()) {
        rtnexthop hop{};
        std::memcpy(&hop, payload.data() + offset, sizeof hop);
        if (hop.rtnh_len < sizeof hop || hop.rtnh_len > payload.size() - offset) break;
        interfaces.insert(hop.rtnh_ifindex);
        offset += RTNH_ALIGN(hop.rtnh_len);
      }
    }
  });
  if (table == RT_TABLE_LOCAL) return;
  const NetworkSnapshot::Route key{header.rtm_family, table, priority, header.rtm_tos};
  if (type == RTM_NEWROUTE && header.rtm_type == RTN_UNICAST && !interfaces.empty()) {
    snapshot.defaultRoutes[key] = std::move(interfaces);
  } else {
    snapshot.defaultRoutes.erase(key);
  }
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int openRouteSocket(unsigned groups) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  // A burst of changes (many interfaces coming up) fits; an overflow still only costs a resync.
  const int size = 1 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits for `fd` to become readable or `wakeFd` to be signalled; false for the latter.
bool waitReadable(int fd, int wakeFd, int timeoutMs) {
  std::array<pollfd, 2> fds{pollfd{fd, POLLIN, 0}, pollfd{wakeFd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (fds[1].revents != 0) return false;
    return true;
  }
}

constexpr std::size_t receiveBufferSize = 64 * 1024;
constexpr int dumpTimeoutMs = 5000;

}  // namespace

NetworkPathStatus evaluateNetworkPath(const NetworkSnapshot& snapshot) {
  for (const auto& [route, interfaces] : snapshot.defaultRoutes) {
    for (const int index : interfaces) {
      const auto link = snapshot.linkFlags.find(index);
      if (link == snapshot.linkFlags.end()) continue;
      const unsigned flags = link->second;
      if ((flags & IFF_LOOPBACK) || !(flags & IFF_UP) || !(flags & IFF_RUNNING)) continue;
      for (const auto& address : snapshot.globalAddresses) {
        if (address.interfaceIndex == index && address.family == route.family) {
          return NetworkPathStatus::satisfied;
        }
      }
    }
  }
  return NetworkPathStatus::unsatisfied;
}

void applyRouteNetlinkMessage(NetworkSnapshot& snapshot, std::span<const unsigned char> message) {
  nlmsghdr header{};
  if (!readStruct(message, header)) return;
  if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > message.size()) return;
  const auto body = message.subspan(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
  switch (header.nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: applyLink(snapshot, header.nlmsg_type, body); break;
    case RTM_NEWADDR:
    case RTM_DELADDR: applyAddress(snapshot, header.nlmsg_type, body); break;
    case RTM_NEWROUTE:
    case RTM_DELROUTE: applyRoute(snapshot, header.nlmsg_type, body); break;
    default: break;
  }
}

NetlinkPathMonitor::NetlinkPathMonitor() = default;

NetlinkPathMonitor::~NetlinkPathMonitor() {
  cancel();
  if (thread_.joinable()) thread_.join();
  closeFd(eventSocket_);
  closeFd(dumpSocket_);
  closeFd(wakeFd_);
}

void NetlinkPathMonitor::start(UpdateHandler handler) {
  {
    std::lock_guard lock(mutex_);
    if (started_ || cancelled_) return;
    started_ = true;
  }
  handler_ = std::move(handler);
  eventSocket_ = openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                                 RTMGRP_IPV6_ROUTE);
  dumpSocket_ = openRouteSocket(0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventSocket_ < 0 || dumpSocket_ < 0 || wakeFd_ < 0) {
    pathLog().error("cannot watch the network path: {}", std::strerror(errno));
    return;
  }
  thread_ = std::thread([this] { run(); });
}

void NetlinkPathMonitor::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
  }
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  }
  // A handler that cancels its own monitor cannot wait for itself; the thread ends after it.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool NetlinkPathMonitor::resynchronize() {
  NetworkSnapshot fresh;
  std::vector<unsigned char> buffer(receiveBufferSize);
  for (const std::uint16_t request : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE}) {
    struct {
      nlmsghdr header;
      rtmsg body;  // the largest of the three request bodies; only its family is read
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = request;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = ++sequence_;
    message.body.rtm_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(dumpSocket_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
      return false;
    }
    bool done = false;
    while (!done) {
      const auto received = ::recv(dumpSocket_, buffer.data(), buffer.size(), 0);
      if (received < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!waitReadable(dumpSocket_, wakeFd_, dumpTimeoutMs)) return false;
        continue;
      }
      std::size_t offset = 0;
      const auto size = static_cast<std::size_t>(received);
      while (offset + NLMSG_HDRLEN <= size) {
        nlmsghdr header{};
        std::memcpy(&header, buffer.data() + offset, sizeof header);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - offset) break;
        if (header.nlmsg_seq == message.header.nlmsg_seq) {
          if (header.nlmsg_type == NLMSG_DONE) done = true;
          if (header.nlmsg_type == NLMSG_ERROR) return false;
          // A dump the kernel had to restart midway may be inconsistent: start over later.
          if (header.nlmsg_flags & NLM_F_DUMP_INTR) return false;
          applyRouteNetlinkMessage(fresh, std::span(buffer).subspan(offset, header.nlmsg_len));
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
      }
    }
  }
  snapshot_ = std::move(fresh);
  return true;
}

bool NetlinkPathMonitor::drainNotifications() {
  std::vector<unsigned char> buffer(receiveBufferSize);
  for (;;) {
    const auto received = ::recv(eventSocket_, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      // ENOBUFS: notifications were lost; only a fresh dump tells the truth again.
      return false;
    }
    const auto size = static_cast<std::size_t>(received);
    std::size_t offset = 0;
    while (offset + NLMSG_HDRLEN <= size) {
      nlmsghdr header{};
      std::memcpy(&header, buffer.data() + offset, sizeof header);
      if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - offset) break;
      applyRouteNetlinkMessage(snapshot_, std::span(buffer).subspan(offset, header.nlmsg_len));
      offset += NLMSG_ALIGN(header.nlmsg_len);
    }
  }
}

void NetlinkPathMonitor::run() {
  const auto deliver = [this](NetworkPathStatus status) {
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return false;
    }
    handler_(status);
    return true;
  };
  bool synchronized = resynchronize();
  if (!synchronized) pathLog().error("cannot read the network configuration; retrying at the next change");
  NetworkPathStatus last = evaluateNetworkPath(snapshot_);
  if (!deliver(last)) return;
  for (;;) {
    if (!waitReadable(eventSocket_, wakeFd_, -1)) return;
    const bool intact = drainNotifications();
    if (!intact || !synchronized) synchronized = resynchronize();
    const auto status = evaluateNetworkPath(snapshot_);
    if (status == last) continue;
    last = status;
    if (!deliver(status)) return;
  }
}

}  // namespace vantrel

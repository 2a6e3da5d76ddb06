#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "Platform/System/PathMonitor.hpp"

namespace vantrel {
namespace {

using Message = std::vector<unsigned char>;

template <typename T>
void put(Message& m, const T& value) {
  const auto* p = reinterpret_cast<const unsigned char*>(&value);
  m.insert(m.end(), p, p + sizeof(T));
}

void align(Message& m) { m.resize(NLMSG_ALIGN(m.size()), 0); }

void attribute(Message& m, unsigned short type, const void* data, std::size_t size) {
  rtattr a{};
  a.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  a.rta_type = type;
  put(m, a);
  const auto* p = static_cast<const unsigned char*>(data);
  m.insert(m.end(), p, p + size);
  m.resize(m.size() + (RTA_ALIGN(a.rta_len) - a.rta_len), 0);
}

void attribute32(Message& m, unsigned short type, std::uint32_t value) { attribute(m, type, &value, 4); }

// Starts a message of `type` whose fixed body is `body`; `finish` fills in the length.
template <typename Body>
Message begin(std::uint16_t type, const Body& body) {
  Message m;
  nlmsghdr h{};
  h.nlmsg_type = type;
  put(m, h);
  put(m, body);
  align(m);
  return m;
}

Message finish(Message m) {
  const auto length = static_cast<std::uint32_t>(m.size());
  std::memcpy(m.data(), &length, sizeof length);
  return m;
}

Message link(std::uint16_t type, int index, unsigned flags) {
  ifinfomsg info{};
  info.ifi_family = AF_UNSPEC;
  info.ifi_index = index;
  info.ifi_flags = flags;
  return finish(begin(type, info));
}

Message address(std::uint16_t type, int index, int family, std::vector<unsigned char> bytes,
                unsigned char scope = RT_SCOPE_UNIVERSE, std::optional<std::uint32_t> flags = std::nullopt) {
  ifaddrmsg a{};
  a.ifa_family = static_cast<unsigned char>(family);
  a.ifa_prefixlen = family == AF_INET ? 24 : 64;
  a.ifa_scope = scope;
  a.ifa_index = static_cast<unsigned>(index);
  auto m = begin(type, a);
  attribute(m, IFA_ADDRESS, bytes.data(), bytes.size());
  if (family == AF_INET) attribute(m, IFA_LOCAL, bytes.data(), bytes.size());
  if (flags) attribute32(m, IFA_FLAGS, *flags);
  return finish(std::move(m));
}

struct RouteRow {
  int family = AF_INET;
  unsigned char dstLength = 0;
  unsigned char type = RTN_UNICAST;
  unsigned table = RT_TABLE_MAIN;
  std::vector<int> interfaces{2};
  bool multipath = false;
  std::uint32_t priority = 0;
};

Message route(std::uint16_t type, const RouteRow& row) {
  rtmsg r{};
  r.rtm_family = static_cast<unsigned char>(row.family);
  r.rtm_dst_len = row.dstLength;
  r.rtm_table =
      row.table < 256 ? static_cast<unsigned char>(row.table) : static_cast<unsigned char>(RT_TABLE_UNSPEC);
  r.rtm_type = row.type;
  auto m = begin(type, r);
  attribute32(m, RTA_TABLE, row.table);
  if (row.priority) attribute32(m, RTA_PRIORITY, row.priority);
  if (row.multipath) {
    Message hops;
    for (const int index : row.interfaces) {
      rtnexthop hop{};
      hop.rtnh_len = sizeof hop;
      hop.rtnh_ifindex = index;
      put(hops, hop);
    }
    attribute(m, RTA_MULTIPATH, hops.data(), hops.size());
  } else if (!row.interfaces.empty()) {
    attribute32(m, RTA_OIF, static_cast<std::uint32_t>(row.interfaces.front()));
  }
  return finish(std::move(m));
}

const std::vector<unsigned char> v4{192, 0, 2, 10};
const std::vector<unsigned char> v6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr unsigned upWithCarrier = IFF_UP | IFF_RUNNING | IFF_BROADCAST;

NetworkSnapshot apply(std::initializer_list<Message> messages) {
  NetworkSnapshot s;
  for (const auto& m : messages) applyRouteNetlinkMessage(s, m);
  return s;
}

// Interface 2 with `flags`, one address of `family` and the route `row`.
NetworkSnapshot one(unsigned flags, int family, const RouteRow& row, unsigned char scope = RT_SCOPE_UNIVERSE,
                    std::optional<std::uint32_t> addressFlags = std::nullopt) {
  return apply({link(RTM_NEWLINK, 2, flags),
                address(RTM_NEWADDR, 2, family, family == AF_INET ? v4 : v6, scope, addressFlags),
                route(RTM_NEWROUTE, row)});
}

TEST(NetworkPathEvaluation, SatisfiedNeedsCarrierAGlobalAddressAndADefaultRouteOfOneInterface) {
  struct Case {
    const char* name;
    NetworkSnapshot snapshot;
    NetworkPathStatus expected;
  };
  using S = NetworkPathStatus;
  const auto v6route = RouteRow{.family = AF_INET6};
  const Case cases[] = {
      {"nothing at all", {}, S::unsatisfied},
      {"v4 up, address, default route", one(upWithCarrier, AF_INET, {}), S::satisfied},
      {"v6 only", one(upWithCarrier, AF_INET6, v6route), S::satisfied},
      {"loopback only",
       apply({link(RTM_NEWLINK, 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK), address(RTM_NEWADDR, 1, AF_INET, v4),
              route(RTM_NEWROUTE, {.interfaces = {1}})}),
       S::unsatisfied},
      {"administratively down", one(IFF_BROADCAST, AF_INET, {}), S::unsatisfied},
      {"up without carrier", one(IFF_UP, AF_INET, {}), S::unsatisfied},
      {"no default route", one(upWithCarrier, AF_INET, {.dstLength = 24}), S::unsatisfied},
      {"default route through another interface",
       apply({link(RTM_NEWLINK, 2, upWithCarrier), link(RTM_NEWLINK, 3, upWithCarrier),
              address(RTM_NEWADDR, 2, AF_INET, v4), route(RTM_NEWROUTE, {.interfaces = {3}})}),
       S::unsatisfied},
      {"v4 default route but only a v6 address", one(upWithCarrier, AF_INET6, {}), S::unsatisfied},
      {"link-local address only", one(upWithCarrier, AF_INET6, v6route, RT_SCOPE_LINK), S::unsatisfied},
      {"address still tentative", one(upWithCarrier, AF_INET6, v6route, RT_SCOPE_UNIVERSE, IFA_F_TENTATIVE),
       S::unsatisfied},
      {"blackhole default", one(upWithCarrier, AF_INET, {.type = RTN_BLACKHOLE}), S::unsatisfied},
      {"default in the local table", one(upWithCarrier, AF_INET, {.table = RT_TABLE_LOCAL}), S::unsatisfied},
      {"default in a policy table above 255", one(upWithCarrier, AF_INET, {.table = 1000}), S::satisfied},
      {"multipath with one usable hop",
       apply({link(RTM_NEWLINK, 2, IFF_UP), link(RTM_NEWLINK, 3, upWithCarrier),
              address(RTM_NEWADDR, 3, AF_INET, v4),
              route(RTM_NEWROUTE, {.interfaces = {2, 3}, .multipath = true})}),
       S::satisfied},
  };
  for (const auto& c : cases) EXPECT_EQ(evaluateNetworkPath(c.snapshot), c.expected) << c.name;
}

TEST(NetworkPathEvaluation, DeletionsUndoWhatTheyName) {
  NetworkSnapshot s = apply({link(RTM_NEWLINK, 2, upWithCarrier), address(RTM_NEWADDR, 2, AF_INET, v4),
                             route(RTM_NEWROUTE, {.priority = 100}), route(RTM_NEWROUTE, {.priority = 200})});
  ASSERT_EQ(evaluateNetworkPath(s), NetworkPathStatus::satisfied);
  applyRouteNetlinkMessage(s, route(RTM_DELROUTE, {.priority = 100}));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::satisfied) << "the second default route remains";
  applyRouteNetlinkMessage(s, route(RTM_DELROUTE, {.priority = 200}));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::unsatisfied);
  applyRouteNetlinkMessage(s, route(RTM_NEWROUTE, {}));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::satisfied);
  applyRouteNetlinkMessage(s, address(RTM_DELADDR, 2, AF_INET, v4));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::unsatisfied);
  applyRouteNetlinkMessage(s, address(RTM_NEWADDR, 2, AF_INET, v4));
  applyRouteNetlinkMessage(s, link(RTM_NEWLINK, 2, IFF_UP | IFF_BROADCAST));  // carrier lost
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::unsatisfied);
  applyRouteNetlinkMessage(s, link(RTM_NEWLINK, 2, upWithCarrier));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::satisfied);
  applyRouteNetlinkMessage(s, link(RTM_DELLINK, 2, 0));
  EXPECT_EQ(evaluateNetworkPath(s), NetworkPathStatus::unsatisfied);
  EXPECT_TRUE(s.globalAddresses.empty()) << "a removed interface takes its addresses along";
}

TEST(NetworkPathEvaluation, MalformedMessagesChangeNothing) {
  const auto good = address(RTM_NEWADDR, 2, AF_INET, v4);
  NetworkSnapshot s;

  auto longer = good;  // claims more bytes than it has
  const std::uint32_t claimed = static_cast<std::uint32_t>(good.size() + 64);
  std::memcpy(longer.data(), &claimed, 4);
  applyRouteNetlinkMessage(s, longer);

  auto tooShort = good;  // shorter than the header it names
  const std::uint32_t tiny = 8;
  std::memcpy(tooShort.data(), &tiny, 4);
  applyRouteNetlinkMessage(s, tooShort);

  applyRouteNetlinkMessage(s, std::span(good).first(10));  // cut inside the header

  auto badAttribute = good;  // first attribute runs past the end
  const std::size_t attributeOffset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg));
  const unsigned short huge = 0x7FFF;
  std::memcpy(badAttribute.data() + attributeOffset, &huge, 2);
  applyRouteNetlinkMessage(s, badAttribute);

  auto zeroAttribute = good;  // an attribute of length 0 would loop forever if trusted
  const unsigned short zero = 0;
  std::memcpy(zeroAttribute.data() + attributeOffset, &zero, 2);
  applyRouteNetlinkMessage(s, zeroAttribute);

  EXPECT_TRUE(s.globalAddresses.empty());
  EXPECT_TRUE(s.linkFlags.empty());

  applyRouteNetlinkMessage(s, good);
  EXPECT_EQ(s.globalAddresses.size(), 1u) << "the intact message is read";
}

}  // namespace
}  // namespace vantrel

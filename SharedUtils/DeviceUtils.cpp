#include "SharedUtils/DeviceUtils.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <cstring>
#include <string_view>

#include "platform/network/NetlinkSocket.h"

namespace sharedutils {

namespace {

// A dump is restarted when the table changed under it; after this many attempts the lookup
// gives up rather than spin against a routing table that never settles.
constexpr int kDumpAttempts = 3;

struct RouteAttributes {
  std::uint32_t table = RT_TABLE_UNSPEC;
  bool hasTable = false;
  bool nonZeroDestination = false;
  std::uint32_t outputInterface = 0;
  const in_addr* gateway = nullptr;
  const nlattr* multipath = nullptr;
};

int collectRouteAttribute(const nlattr* attribute, void* data) {
  auto& route = *static_cast<RouteAttributes*>(data);
  switch (mnl_attr_get_type(attribute)) {
    case RTA_TABLE:
      if (mnl_attr_validate(attribute, MNL_TYPE_U32) < 0) break;
      route.table = mnl_attr_get_u32(attribute);
      route.hasTable = true;
      break;
    case RTA_DST:
      if (mnl_attr_get_payload_len(attribute) != sizeof(in_addr)) break;
      route.nonZeroDestination =
          static_cast<const in_addr*>(mnl_attr_get_payload(attribute))->s_addr != INADDR_ANY;
      break;
    case RTA_OIF:
      if (mnl_attr_validate(attribute, MNL_TYPE_U32) < 0) break;
      route.outputInterface = mnl_attr_get_u32(attribute);
      break;
    case RTA_GATEWAY:
      if (mnl_attr_get_payload_len(attribute) != sizeof(in_addr)) break;
      route.gateway = static_cast<const in_addr*>(mnl_attr_get_payload(attribute));
      break;
    case RTA_MULTIPATH:
      route.multipath = attribute;
      break;
    default:
      break;
  }
  return MNL_CB_OK;
}

// The gateway's text when the route leaves through an "en" interface with an IPv4 gateway.
std::optional<std::string> qualifyingGateway(std::uint32_t interfaceIndex, const in_addr* gateway) {
  if (gateway == nullptr || interfaceIndex == 0) return std::nullopt;
  std::array<char, IF_NAMESIZE> name{};
  if (if_indextoname(interfaceIndex, name.data()) == nullptr) return std::nullopt;
  if (!std::string_view(name.data()).starts_with("en")) return std::nullopt;
  std::array<char, INET_ADDRSTRLEN> text{};
  if (inet_ntop(AF_INET, gateway, text.data(), text.size()) == nullptr) return std::nullopt;
  return std::string(text.data());
}

int collectGatewayAttribute(const nlattr* attribute, void* data) {
  if (mnl_attr_get_type(attribute) == RTA_GATEWAY &&
      mnl_attr_get_payload_len(attribute) == sizeof(in_addr))
    *static_cast<const in_addr**>(data) =
        static_cast<const in_addr*>(mnl_attr_get_payload(attribute));
  return MNL_CB_OK;
}

// Walks the next hops of a multipath route in order.
std::optional<std::string> qualifyingNextHop(const nlattr* multipath) {
  const auto* bytes = static_cast<const char*>(mnl_attr_get_payload(multipath));
  std::size_t remaining = mnl_attr_get_payload_len(multipath);
  while (remaining >= sizeof(rtnexthop)) {
    rtnexthop hop;
    std::memcpy(&hop, bytes, sizeof(hop));
    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > remaining) break;
    const in_addr* gateway = nullptr;
    mnl_attr_parse_payload(bytes + RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0),
                           collectGatewayAttribute, &gateway);
    if (auto text = qualifyingGateway(static_cast<std::uint32_t>(hop.rtnh_ifindex), gateway))
      return text;
    const std::size_t step = RTNH_ALIGN(hop.rtnh_len);
    if (step >= remaining) break;
    bytes += step;
    remaining -= step;
  }
  return std::nullopt;
}

// The gateway of `message` when it is a qualifying default route.
std::optional<std::string> inspectRoute(const nlmsghdr& message) {
  if (message.nlmsg_type != RTM_NEWROUTE) return std::nullopt;
  if (mnl_nlmsg_get_payload_len(&message) < sizeof(rtmsg)) return std::nullopt;
  const auto* header = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(&message));
  if (header->rtm_family != AF_INET || header->rtm_dst_len != 0 || header->rtm_type != RTN_UNICAST)
    return std::nullopt;

  RouteAttributes route;
  if (mnl_attr_parse(&message, sizeof(rtmsg), collectRouteAttribute, &route) < 0)
    return std::nullopt;
  const std::uint32_t table = route.hasTable ? route.table : header->rtm_table;
  if (table != RT_TABLE_MAIN || route.nonZeroDestination) return std::nullopt;

  return route.multipath != nullptr ? qualifyingNextHop(route.multipath)
                                    : qualifyingGateway(route.outputInterface, route.gateway);
}

}  // namespace

std::optional<std::string> DeviceUtils::getDefaultGateway() {
  using platform::network::NetlinkSocket;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    NetlinkSocket socket;
    std::optional<std::string> result;
    const auto outcome = socket.dump(RTM_GETROUTE, [&result](const nlmsghdr& message) {
      if (!result) result = inspectRoute(message);
    });
    if (result) return result;
    if (outcome != NetlinkSocket::DumpResult::interrupted) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace sharedutils

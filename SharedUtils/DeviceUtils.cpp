#include "SharedUtils/DeviceUtils.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace sharedutils {

namespace {

// A dump is restarted when the table changed under it; after this many attempts the lookup
// gives up rather than spin against a routing table that never settles.
constexpr int kDumpAttempts = 3;

// Large enough for a full batch of a route dump, which the kernel sizes to the reader's buffer.
constexpr std::size_t kReceiveBufferSize = 32 * 1024;

struct MnlSocketCloser {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};
using MnlSocket = std::unique_ptr<mnl_socket, MnlSocketCloser>;

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

int inspectRoute(const nlmsghdr* message, void* data) {
  auto& result = *static_cast<std::optional<std::string>*>(data);
  if (message->nlmsg_type != RTM_NEWROUTE) return MNL_CB_OK;
  if (mnl_nlmsg_get_payload_len(message) < sizeof(rtmsg)) return MNL_CB_OK;
  const auto* header = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  if (header->rtm_family != AF_INET || header->rtm_dst_len != 0 || header->rtm_type != RTN_UNICAST)
    return MNL_CB_OK;

  RouteAttributes route;
  if (mnl_attr_parse(message, sizeof(rtmsg), collectRouteAttribute, &route) < 0) return MNL_CB_OK;
  const std::uint32_t table = route.hasTable ? route.table : header->rtm_table;
  if (table != RT_TABLE_MAIN || route.nonZeroDestination) return MNL_CB_OK;

  result = route.multipath != nullptr ? qualifyingNextHop(route.multipath)
                                      : qualifyingGateway(route.outputInterface, route.gateway);
  return result ? MNL_CB_STOP : MNL_CB_OK;
}

enum class DumpOutcome { finished, interrupted, failed };

DumpOutcome dumpRoutes(std::optional<std::string>& result) {
  MnlSocket socket(mnl_socket_open(NETLINK_ROUTE));
  if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0)
    return DumpOutcome::failed;
  const unsigned portId = mnl_socket_get_portid(socket.get());

  // The socket is private to this one request, so a fixed sequence number is enough to match
  // the replies.
  constexpr unsigned sequence = 1;

  std::vector<char> buffer(kReceiveBufferSize);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = RTM_GETROUTE;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = sequence;
  auto* header = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  header->rtm_family = AF_INET;
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) return DumpOutcome::failed;

  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (received < 0 && errno == EINTR) return DumpOutcome::interrupted;
    if (received <= 0) return DumpOutcome::failed;
    const int status = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), sequence,
                                  portId, inspectRoute, &result);
    if (status == MNL_CB_STOP) return DumpOutcome::finished;
    if (status < 0) return errno == EINTR ? DumpOutcome::interrupted : DumpOutcome::failed;
  }
}

}  // namespace

std::optional<std::string> DeviceUtils::getDefaultGateway() {
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    std::optional<std::string> result;
    const DumpOutcome outcome = dumpRoutes(result);
    if (result) return result;
    if (outcome != DumpOutcome::interrupted) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace sharedutils

#include "platform/network/NetworkSnapshot.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace platform::network {

namespace {

struct LinkAttributes {
  const char* name = nullptr;
};

int collectLinkAttribute(const nlattr* attribute, void* data) {
  if (mnl_attr_get_type(attribute) == IFLA_IFNAME &&
      mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) >= 0)
    static_cast<LinkAttributes*>(data)->name = mnl_attr_get_str(attribute);
  return MNL_CB_OK;
}

struct AddressAttributes {
  const void* address = nullptr;
  std::size_t length = 0;
  std::uint32_t flags = 0;
  bool hasFlags = false;
};

int collectAddressAttribute(const nlattr* attribute, void* data) {
  auto& out = *static_cast<AddressAttributes*>(data);
  switch (mnl_attr_get_type(attribute)) {
    case IFA_ADDRESS:
      out.address = mnl_attr_get_payload(attribute);
      out.length = mnl_attr_get_payload_len(attribute);
      break;
    case IFA_FLAGS:
      if (mnl_attr_validate(attribute, MNL_TYPE_U32) >= 0) {
        out.flags = mnl_attr_get_u32(attribute);
        out.hasFlags = true;
      }
      break;
    default:
      break;
  }
  return MNL_CB_OK;
}

struct RouteAttributes {
  std::uint32_t table = 0;
  bool hasTable = false;
  std::uint32_t outputInterface = 0;
  std::uint32_t metric = 0;
  const nlattr* multipath = nullptr;
};

int collectRouteAttribute(const nlattr* attribute, void* data) {
  auto& out = *static_cast<RouteAttributes*>(data);
  const bool isU32 = mnl_attr_validate(attribute, MNL_TYPE_U32) >= 0;
  switch (mnl_attr_get_type(attribute)) {
    case RTA_TABLE:
      if (isU32) {
        out.table = mnl_attr_get_u32(attribute);
        out.hasTable = true;
      }
      break;
    case RTA_OIF:
      if (isU32) out.outputInterface = mnl_attr_get_u32(attribute);
      break;
    case RTA_PRIORITY:
      if (isU32) out.metric = mnl_attr_get_u32(attribute);
      break;
    case RTA_MULTIPATH:
      out.multipath = attribute;
      break;
    default:
      break;
  }
  return MNL_CB_OK;
}

constexpr unsigned kDeadHop = RTNH_F_DEAD | RTNH_F_LINKDOWN;

}  // namespace

void NetworkSnapshot::add(const nlmsghdr& message) {
  switch (message.nlmsg_type) {
    case RTM_NEWLINK: {
      if (mnl_nlmsg_get_payload_len(&message) < sizeof(ifinfomsg)) return;
      const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(&message));
      LinkAttributes attributes;
      if (mnl_attr_parse(&message, sizeof(ifinfomsg), collectLinkAttribute, &attributes) < 0 ||
          attributes.name == nullptr || info->ifi_index <= 0)
        return;
      links.push_back({static_cast<std::uint32_t>(info->ifi_index), attributes.name,
                       info->ifi_flags, info->ifi_type});
      return;
    }
    case RTM_NEWADDR: {
      if (mnl_nlmsg_get_payload_len(&message) < sizeof(ifaddrmsg)) return;
      const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(&message));
      AddressAttributes attributes;
      if (mnl_attr_parse(&message, sizeof(ifaddrmsg), collectAddressAttribute, &attributes) < 0)
        return;
      const std::uint32_t flags = attributes.hasFlags ? attributes.flags : info->ifa_flags;
      if (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) return;
      if (info->ifa_family == AF_INET6) {
        if (attributes.length != sizeof(in6_addr)) return;
        in6_addr address;
        std::memcpy(&address, attributes.address, sizeof address);
        if (IN6_IS_ADDR_LINKLOCAL(&address)) return;
      } else if (info->ifa_family != AF_INET) {
        return;
      }
      addressedInterfaces.push_back(info->ifa_index);
      return;
    }
    case RTM_NEWROUTE: {
      if (mnl_nlmsg_get_payload_len(&message) < sizeof(rtmsg)) return;
      const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(&message));
      if ((info->rtm_family != AF_INET && info->rtm_family != AF_INET6) || info->rtm_dst_len != 0 ||
          info->rtm_type != RTN_UNICAST || (info->rtm_flags & RTM_F_CLONED))
        return;
      RouteAttributes attributes;
      if (mnl_attr_parse(&message, sizeof(rtmsg), collectRouteAttribute, &attributes) < 0) return;
      const std::uint32_t table = attributes.hasTable ? attributes.table : info->rtm_table;
      if (table == RT_TABLE_LOCAL) return;
      if (attributes.multipath == nullptr) {
        if (attributes.outputInterface != 0 && !(info->rtm_flags & kDeadHop))
          defaultRoutes.push_back({attributes.outputInterface, attributes.metric});
        return;
      }
      const auto* bytes = static_cast<const char*>(mnl_attr_get_payload(attributes.multipath));
      std::size_t remaining = mnl_attr_get_payload_len(attributes.multipath);
      while (remaining >= sizeof(rtnexthop)) {
        rtnexthop hop;
        std::memcpy(&hop, bytes, sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > remaining) break;
        if (hop.rtnh_ifindex > 0 && !(hop.rtnh_flags & kDeadHop))
          defaultRoutes.push_back(
              {static_cast<std::uint32_t>(hop.rtnh_ifindex), attributes.metric});
        const std::size_t step = RTNH_ALIGN(hop.rtnh_len);
        if (step >= remaining) break;
        bytes += step;
        remaining -= step;
      }
      return;
    }
    default:
      return;
  }
}

Path NetworkSnapshot::toPath(const std::function<InterfaceType(const Link&)>& typeOf) const {
  auto addressed = [&](std::uint32_t index) {
    return std::find(addressedInterfaces.begin(), addressedInterfaces.end(), index) !=
           addressedInterfaces.end();
  };
  // The best (lowest) default-route metric of each usable interface that has one.
  std::map<std::uint32_t, std::uint32_t> routeMetric;
  std::vector<const Link*> usable;
  for (const auto& link : links) {
    if ((link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && addressed(link.index))
      usable.push_back(&link);
  }
  for (const auto& route : defaultRoutes) {
    const bool live = std::any_of(usable.begin(), usable.end(), [&](const Link* link) {
      return link->index == route.interfaceIndex;
    });
    if (!live) continue;
    auto [it, inserted] = routeMetric.emplace(route.interfaceIndex, route.metric);
    if (!inserted) it->second = std::min(it->second, route.metric);
  }
  std::stable_sort(usable.begin(), usable.end(), [&](const Link* a, const Link* b) {
    const auto ra = routeMetric.find(a->index), rb = routeMetric.find(b->index);
    const bool hasA = ra != routeMetric.end(), hasB = rb != routeMetric.end();
    if (hasA != hasB) return hasA;
    if (hasA && ra->second != rb->second) return ra->second < rb->second;
    return a->index < b->index;
  });

  Path path;
  path.status = routeMetric.empty() ? PathStatus::unsatisfied : PathStatus::satisfied;
  for (const Link* link : usable) {
    const InterfaceType type = typeOf(*link);
    path.availableInterfaces.push_back({link->name, type, link->index});
    if (routeMetric.contains(link->index) && !path.usesInterfaceType(type))
      path.usedInterfaceTypes.push_back(type);
  }
  return path;
}

}  // namespace platform::network

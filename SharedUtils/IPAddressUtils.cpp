#include "SharedUtils/IPAddressUtils.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <memory>

namespace sharedutils {

namespace {

struct IfAddrsDeleter {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfAddrsList = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

// Null when the list cannot be read or is empty.
IfAddrsList interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return nullptr;
  return IfAddrsList(list);
}

// Replaces every ill-formed UTF-8 sequence with U+FFFD, one replacement per maximal invalid
// subpart, so the result is always valid UTF-8.
std::string repairedUTF8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    }
    std::size_t taken = 1;
    bool valid = need > 0;
    for (std::size_t k = 0; valid && k < need; ++k) {
      if (i + taken >= bytes.size()) {
        valid = false;
        break;
      }
      const auto c = static_cast<unsigned char>(bytes[i + taken]);
      const bool ok = k == 0 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) {
        valid = false;
        break;
      }
      ++taken;
    }
    if (valid) {
      out.append(bytes.substr(i, taken));
    } else {
      out.append(kReplacement);
    }
    i += taken;
  }
  return out;
}

}  // namespace

std::optional<std::string> IPAddressUtils::numericHostFrom(const sockaddr* address) {
  if (address == nullptr) return std::nullopt;
  std::array<char, NI_MAXHOST> host{};  // 1025 bytes, zero-filled
  const socklen_t length =
      address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST) != 0)
    return std::nullopt;
  if (host[0] == '\0') return std::nullopt;
  return repairedUTF8(std::string_view(host.data()));
}

std::optional<std::string> IPAddressUtils::localIP(std::string_view forInterface,
                                                   std::uint8_t socketAddressFamily) {
  const IfAddrsList list = interfaceAddresses();
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || forInterface != entry->ifa_name) continue;
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != socketAddressFamily) continue;
    if (auto text = numericHostFrom(entry->ifa_addr)) return text;
  }
  return std::nullopt;
}

std::optional<std::string> IPAddressUtils::interfaceName(std::string_view forAddress) {
  const IfAddrsList list = interfaceAddresses();
  if (!list) return std::string();
  constexpr unsigned kMask = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
  constexpr unsigned kWanted = IFF_UP | IFF_RUNNING;
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if ((entry->ifa_flags & kMask) != kWanted || entry->ifa_addr == nullptr) continue;
    const auto family = entry->ifa_addr->sa_family;
    if (family != AF_INET6 && family != AF_INET) continue;
    const auto text = numericHostFrom(entry->ifa_addr);
    if (text && *text == forAddress && entry->ifa_name != nullptr)
      return std::string(entry->ifa_name);
  }
  return std::nullopt;
}

}  // namespace sharedutils

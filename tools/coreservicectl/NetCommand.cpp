// coreservicectl net [--json | --watch]
// Without --watch: the primary interface kind ("primary: ethernet") and what the path uses
// ("Interface: eth0, IP: 10.1.2.3, DNS: 10.1.0.53", or "info: none"), or with --json one object
// {"primary", "interfaceName", "ipAddress", "ipAddressUInt32", "dnsServer"} with null for what is
// absent. ipAddressUInt32 is the address as it stands in memory (network byte order) read as a
// number on this machine.
// With --watch: the primary interface kind on a line of its own each time it is assigned, the
// current one first, until SIGINT or SIGTERM. Exit status 0, or 2 for a usage error.

#include <signal.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "SharedUtils/NetworkPathMonitor.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

using sharedutils::NetworkPathMonitor;

int show(bool json) {
  auto monitor = NetworkPathMonitor::make();
  monitor->start();
  const auto primary = std::string(toString(monitor->activeNetworkInterface()));
  const auto info = monitor->getCurrentInterfaceInfo();
  monitor->stop();
  if (!json) {
    std::printf("primary: %s\n%s\n", primary.c_str(),
                info ? info->description().c_str() : "info: none");
    return 0;
  }
  const auto orNull = [](const auto& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
  };
  nlohmann::ordered_json object = {
      {"primary", primary},
      {"interfaceName", info ? orNull(info->interfaceName) : nullptr},
      {"ipAddress", info ? orNull(info->ipAddressString) : nullptr},
      {"ipAddressUInt32", info ? orNull(info->ipAddressUInt32) : nullptr},
      {"dnsServer", info ? orNull(info->dnsServerName) : nullptr},
  };
  std::printf("%s\n",
              object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  return 0;
}

int watch() {
  // The monitor's updates are handled on the main queue, which this thread serves until a
  // signal source stops it. A shell starts background jobs with SIGINT ignored, and an ignored
  // signal is discarded: restore the default first (blocked, so it cannot strike in between).
  using platform::dispatch::Queue;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  auto interrupt = platform::dispatch::SignalSource::make(SIGINT, Queue::main());
  auto terminate = platform::dispatch::SignalSource::make(SIGTERM, Queue::main());
  for (const auto& source : {interrupt, terminate}) {
    source->setEventHandler([] { platform::dispatch::stopMainQueue(); });
    source->resume();
  }

  auto monitor = NetworkPathMonitor::make();
  monitor->start();
  auto subscription = monitor->activeNetworkInterfacePublisher().sink(
      [](NetworkPathMonitor::NetworkInterfaceType type) {
        std::printf("%s\n", std::string(toString(type)).c_str());
        std::fflush(stdout);
      });
  platform::dispatch::runMainQueue(platform::dispatch::Time::forever());
  subscription.cancel();
  monitor->stop();
  return 0;
}

int runNet(const Invocation& invocation) {
  const bool json = invocation.has("json");
  const bool watching = invocation.has("watch");
  if (json && watching) return usageError(invocation, "--json and --watch exclude each other");
  return watching ? watch() : show(json);
}

}  // namespace

Command netCommand() {
  return {"net",
          {.summary = "The primary network interface kind and the interface, IPv4 address and "
                      "DNS server the path uses.",
           .options = {{"json", 0, "", "print one JSON object on one line"},
                       {"watch", 0, "",
                        "print the primary interface kind each time it is assigned, until "
                        "interrupted"}},
           .maxOperands = 0},
          &runNet};
}

}  // namespace coreservicectl

#pragma once
// The system's path monitor, on rtnetlink (links, addresses and routes of every family) with
// interface kinds from /sys/class/net.
//
// It watches the network namespace of the thread that creates it: its sockets and its view of
// sysfs are taken there, whichever threads run it later. The first path is read during
// construction, on the calling thread.
//
// Kernel notifications only say that something changed. Each batch of them (all that is queued
// when the monitor gets to read) is answered with one fresh dump of links, addresses and routes
// (of the routes alone when nothing else changed) and one evaluation, so a burst of hundreds of
// changes costs one evaluation, and nothing is lost when the kernel drops notifications because the
// socket's buffer overflowed (ENOBUFS): that too is just a change. Dumping instead of applying each
// notification also catches what the kernel does not announce, such as IPv4 routes that go away
// with their interface.
//
// When rtnetlink cannot be opened the monitor reports an unsatisfied path with no interfaces and
// never updates.

#include <memory>

#include "platform/network/PathMonitor.h"

namespace platform::network {

class NetlinkPathMonitor final : public PathMonitor {
 public:
  NetlinkPathMonitor();
  ~NetlinkPathMonitor() override;

  Path currentPath() const override;
  void setUpdateHandler(UpdateHandler handler) override;
  void start(std::shared_ptr<platform::dispatch::Queue> queue) override;
  void cancel() override;

 private:
  class Core;
  std::shared_ptr<Core> core_;
};

}  // namespace platform::network

#include "platform/network/NetlinkPathMonitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Queue.h"
#include "platform/network/InterfaceType.h"
#include "platform/network/tests/NetworkSandbox.h"
#include "testsupport/Recorded.h"

namespace platform::network {
namespace {

using platform::dispatch::Queue;
using testing::ip;
using testing::shell;

// "satisfied [en0 wiredEthernet, lo loopback] uses [wiredEthernet]"
std::string describe(const Path& path) {
  std::string text(toString(path.status));
  text += " [";
  for (std::size_t i = 0; i < path.availableInterfaces.size(); ++i) {
    const auto& interface = path.availableInterfaces[i];
    text += (i ? ", " : "") + interface.name + " " + std::string(toString(interface.type));
  }
  text += "] uses [";
  for (std::size_t i = 0; i < path.usedInterfaceTypes.size(); ++i)
    text += (i ? ", " : "") + std::string(toString(path.usedInterfaceTypes[i]));
  return text + "]";
}

// Keeps every path a monitor delivers, in order.
class Deliveries : public ::testsupport::Recorded<std::string> {
 public:
  PathMonitor::UpdateHandler handler() {
    return [this](const Path& path) { add(describe(path)); };
  }
  // Waits (20 s at most) until the latest delivery is `expected`; returns every delivery so far.
  std::vector<std::string> until(const std::string& expected) {
    waitUntil([&](const auto& paths) { return !paths.empty() && paths.back() == expected; });
    return all();
  }
};

// Blocks a serial queue until released, so kernel notifications pile up in the monitor's socket.
// The state is shared with the blocked item, which still reads it after the gate is gone.
class QueueGate {
 public:
  explicit QueueGate(Queue& queue) : state_(std::make_shared<State>()) {
    queue.async([state = state_] {
      std::unique_lock lock(state->m);
      state->entered = true;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->open; });
    });
    std::unique_lock lock(state_->m);
    state_->changed.wait(lock, [this] { return state_->entered; });
  }
  ~QueueGate() { open(); }
  void open() {
    std::lock_guard lock(state_->m);
    state_->open = true;
    state_->changed.notify_all();
  }

 private:
  struct State {
    std::mutex m;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
  };
  std::shared_ptr<State> state_;
};

class NetlinkPathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { CS_SANDBOXED_NETWORK(); }
  std::shared_ptr<Queue> queue = Queue::makeSerial("path-monitor-test");
  Deliveries deliveries;
};

// An up veth pair end with one IPv4 address and no IPv6 link-local address.
std::string addVeth(const std::string& name, const std::string& peer, const std::string& address) {
  return ip({"link add " + name + " type veth peer name " + peer,
             "link set " + name + " addrgenmode none", "addr add " + address + " dev " + name,
             "link set " + peer + " up", "link set " + name + " up"})
      .output;
}

TEST_F(NetlinkPathMonitorTest, FollowsInterfacesAndDefaultRoutesAsTheyComeAndGo) {
  NetlinkPathMonitor monitor;
  EXPECT_EQ(describe(monitor.currentPath()), "unsatisfied [] uses []");
  monitor.setUpdateHandler(deliveries.handler());
  monitor.start(queue);
  deliveries.until("unsatisfied [] uses []");

  struct Step {
    std::string what;
    std::function<std::string()> change;  // returns the failure output, empty on success
    std::string path;
  };
  const std::vector<Step> steps = {
      {"an addressed interface without a default route",
       [] { return addVeth("en0", "px0", "10.1.0.2/24"); },
       "unsatisfied [en0 wiredEthernet] uses []"},
      {"a default route through it",
       [] { return ip({"route add default via 10.1.0.1 dev en0"}).output; },
       "satisfied [en0 wiredEthernet] uses [wiredEthernet]"},
      {"loopback up: available, listed after the routed interface",
       [] { return ip({"link set lo up"}).output; },
       "satisfied [en0 wiredEthernet, lo loopback] uses [wiredEthernet]"},
      {"a second interface, listed by its index",
       [] { return addVeth("en1", "px1", "10.2.0.2/24"); },
       "satisfied [en0 wiredEthernet, lo loopback, en1 wiredEthernet] uses [wiredEthernet]"},
      {"a default route through it with a worse metric",
       [] { return ip({"route add default via 10.2.0.1 dev en1 metric 50"}).output; },
       "satisfied [en0 wiredEthernet, en1 wiredEthernet, lo loopback] uses [wiredEthernet]"},
      {"the better route goes: the other interface leads",
       [] { return ip({"route del default via 10.1.0.1 dev en0"}).output; },
       "satisfied [en1 wiredEthernet, lo loopback, en0 wiredEthernet] uses [wiredEthernet]"},
      {"its carrier goes: neither running nor routed any more",
       [] { return ip({"link set px1 down"}).output; },
       "unsatisfied [lo loopback, en0 wiredEthernet] uses []"},
      {"a multipath default route with one hop on a dead link",
       [] {
         return ip({"route add default nexthop via 10.1.0.1 dev en0 nexthop via 10.2.0.1 dev en1"})
             .output;
       },
       "satisfied [en0 wiredEthernet, lo loopback] uses [wiredEthernet]"},
      {"the interface goes, and its IPv4 routes with it (the kernel announces no route removal)",
       [] { return ip({"link del en0"}).output; }, "unsatisfied [lo loopback] uses []"},
      {"an IPv6 default route through an interface with only a link-local address",
       [] {
         return ip({"link add en2 type veth peer name px2", "link set en2 addrgenmode none",
                    "addr add fe80::2/64 dev en2 nodad", "link set px2 up", "link set en2 up",
                    "-6 route add default dev en2"})
             .output;
       },
       "unsatisfied [lo loopback] uses []"},
      {"loopback down: nothing addressed is left", [] { return ip({"link set lo down"}).output; },
       "unsatisfied [] uses []"},
      {"an IPv6-only interface with an IPv6 default route",
       [] { return ip({"addr add fd00::3/64 dev en2 nodad"}).output; },
       "satisfied [en2 wiredEthernet] uses [wiredEthernet]"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(step.change(), "");
    EXPECT_EQ(deliveries.until(step.path).back(), step.path);
    EXPECT_EQ(describe(monitor.currentPath()), step.path);
  }
  // Only changes are delivered: never the same path twice in a row. A change the kernel announces
  // in several messages may also show the state between them when the monitor reads the first
  // message before the next one is sent (a lost carrier clears the running flag and the routes'
  // usability apart): that state was real for a moment, so it is not a fault. Every step's path
  // still arrives, in the order of the steps.
  const auto all = deliveries.all();
  for (std::size_t i = 1; i < all.size(); ++i)
    EXPECT_NE(all[i], all[i - 1]) << "delivery " << i << " repeats the one before it";
  auto seen = all.begin();
  for (const auto& step : steps) {
    seen = std::find(seen, all.end(), step.path);
    ASSERT_NE(seen, all.end()) << step.what << ": " << step.path << " not delivered in order";
  }
}

TEST_F(NetlinkPathMonitorTest, LoopbackOnlyAndUnknownKindsAndTheFirstPathAtCreation) {
  ASSERT_EQ(ip({"link set lo up", "route add default dev lo"}).output, "");
  // Read at creation, on this thread, before any start.
  NetlinkPathMonitor monitor;
  EXPECT_EQ(describe(monitor.currentPath()), "satisfied [lo loopback] uses [loopback]");

  // A tun device: no Ethernet frames, so other. It exists while this descriptor holds it.
  platform::base::FileDescriptor tun(open("/dev/net/tun", O_RDWR | O_CLOEXEC));
  if (!tun) GTEST_SKIP() << "no /dev/net/tun here";
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, "tun7", IFNAMSIZ - 1);
  ASSERT_EQ(ioctl(tun.get(), TUNSETIFF, &request), 0);
  monitor.setUpdateHandler(deliveries.handler());
  monitor.start(queue);
  ASSERT_EQ(ip({"link set tun7 up", "addr add 10.7.0.1/24 dev tun7", "route del default dev lo",
                "route add default dev tun7"})
                .output,
            "");
  EXPECT_EQ(deliveries.until("satisfied [tun7 other, lo loopback] uses [other]").back(),
            "satisfied [tun7 other, lo loopback] uses [other]");
}

TEST_F(NetlinkPathMonitorTest, ABurstYieldsOneEvaluationAndAnOverrunSocketCatchesUp) {
  ASSERT_EQ(addVeth("en0", "px0", "10.1.0.2/24"), "");
  NetlinkPathMonitor monitor;
  monitor.setUpdateHandler(deliveries.handler());
  monitor.start(queue);
  deliveries.until("unsatisfied [en0 wiredEthernet] uses []");
  {
    // While the monitor's queue is held, a thousand changes pile up: far more notifications
    // than its socket can hold, and a default route that comes and goes many times.
    QueueGate gate(*queue);
    const auto batch = testing::sandboxDirectory() / "burst.batch";
    {
      std::ofstream out(batch);
      for (int i = 0; i < 1000; ++i) {
        out << "addr add 10.200." << i / 250 << "." << i % 250 + 1 << "/32 dev en0\n";
        if (i % 100 == 0) out << "route add default via 10.1.0.1 dev en0\n";
        if (i % 100 == 50) out << "route del default via 10.1.0.1 dev en0\n";
      }
      out << "route add default via 10.1.0.1 dev en0\n";
    }
    ASSERT_EQ(shell("ip -batch " + batch.string()).output, "");
  }
  const std::string routed = "satisfied [en0 wiredEthernet] uses [wiredEthernet]";
  deliveries.until(routed);
  // Not silent after the overrun: the next change still arrives.
  ASSERT_EQ(ip({"route del default via 10.1.0.1 dev en0"}).output, "");
  EXPECT_EQ(deliveries.until("unsatisfied [en0 wiredEthernet] uses []"),
            (std::vector<std::string>{"unsatisfied [en0 wiredEthernet] uses []", routed,
                                      "unsatisfied [en0 wiredEthernet] uses []"}));
}

TEST_F(NetlinkPathMonitorTest, CancelAndDestructionReleaseTheHandlerAndStopUpdates) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> held = token;
  {
    NetlinkPathMonitor cancelled;
    cancelled.setUpdateHandler(
        [token = std::move(token), this](const Path& path) { deliveries.handler()(path); });
    cancelled.start(queue);
    deliveries.until("unsatisfied [] uses []");
    queue->sync([] {});  // the delivery has returned and let go of its copy of the handler
    cancelled.cancel();
    EXPECT_TRUE(held.expired()) << "cancel() keeps the handler";
    cancelled.start(queue);  // does nothing once cancelled

    // A second monitor on the same queue sees the next change; the cancelled one stays quiet.
    Deliveries other;
    NetlinkPathMonitor watcher;
    watcher.setUpdateHandler(other.handler());
    watcher.start(queue);
    ASSERT_EQ(ip({"link set lo up"}).output, "");
    other.until("unsatisfied [lo loopback] uses []");
    queue->sync([] {});
    EXPECT_EQ(deliveries.all(), std::vector<std::string>{"unsatisfied [] uses []"});
  }

  auto second = std::make_shared<int>(0);
  held = second;
  {
    NetlinkPathMonitor destroyed;
    destroyed.setUpdateHandler([second = std::move(second)](const Path&) {});
    destroyed.start(queue);
  }
  queue->sync([] {});  // an update that was already running when the monitor went has finished
  EXPECT_TRUE(held.expired());
}

TEST(InterfaceTypeTest, KindsComeFromTheLinkTypeAndWhatSysfsShows) {
  const auto root =
      std::filesystem::temp_directory_path() / ("sysfs-net-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  const auto entry = [&](const std::string& path, const std::string& contents = "") {
    std::filesystem::create_directories((root / path).parent_path());
    if (path.back() == '/') return;
    std::ofstream(root / path) << contents;
  };
  entry("wlan0/wireless/");
  entry("wlp2s0/phy80211");
  entry("wl1/uevent", "DEVTYPE=wlan\nINTERFACE=wl1\n");
  entry("wwan0/uevent", "INTERFACE=wwan0\nDEVTYPE=wwan\n");
  entry("eth0/uevent", "INTERFACE=eth0\nIFINDEX=2\n");
  entry("br0/uevent", "DEVTYPE=bridge\nINTERFACE=br0\n");
  platform::base::FileDescriptor dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir);

  struct Case {
    std::string name;
    std::uint16_t linkType;
    InterfaceType expected;
  };
  const std::vector<Case> cases = {
      {"wlan0", ARPHRD_ETHER, InterfaceType::wifi},
      {"wlp2s0", ARPHRD_ETHER, InterfaceType::wifi},
      {"wl1", ARPHRD_ETHER, InterfaceType::wifi},
      {"wwan0", ARPHRD_NONE, InterfaceType::cellular},
      {"eth0", ARPHRD_ETHER, InterfaceType::wiredEthernet},
      {"br0", ARPHRD_ETHER, InterfaceType::wiredEthernet},
      {"lo", ARPHRD_LOOPBACK, InterfaceType::loopback},
      {"gone0", ARPHRD_ETHER, InterfaceType::wiredEthernet},  // no sysfs entry left
      {"tun0", ARPHRD_NONE, InterfaceType::other},
      {"gre0", ARPHRD_IPGRE, InterfaceType::other},
      {"../wlan0", ARPHRD_PPP, InterfaceType::other},  // never looked up outside the directory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classifyInterface(dir.get(), c.name, c.linkType), c.expected);
  }
  EXPECT_EQ(classifyInterface(-1, "wlan0", ARPHRD_ETHER), InterfaceType::wiredEthernet);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace platform::network

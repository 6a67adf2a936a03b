#include "SharedUtils/NetworkPathMonitor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "SharedUtils/tests/LogCapture.h"
#include "platform/dispatch/Queue.h"
#include "platform/network/tests/NetworkSandbox.h"
#include "testsupport/Recorded.h"

namespace sharedutils {
namespace {

using platform::dispatch::Queue;
using platform::dispatch::Time;
using platform::network::Interface;
using platform::network::InterfaceType;
using platform::network::Path;
using platform::network::PathStatus;
using Type = NetworkPathMonitor::NetworkInterfaceType;
using Lines = std::vector<std::string>;

const std::string kTag = "[MNG NW] interface: ";

// Runs the main queue (this test thread is the main thread) until `done` holds, 20 s at most.
bool runMainUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    platform::dispatch::runMainQueue(Time::after(std::chrono::milliseconds(5)));
  }
  return true;
}

// The platform monitor a test drives by hand: it reports what the test sends, on the queue it
// was started on, as a real one does.
class FakePathMonitor : public platform::network::PathMonitor {
 public:
  struct Record {
    std::mutex m;
    Path current;
    UpdateHandler handler;
    std::shared_ptr<Queue> queue;
    bool cancelled = false;

    // Reports `path` on the monitor's queue as the platform does, then runs the main queue
    // until the report handed on there has been handled.
    void report(const Path& path) {
      queue->async([this, path] {
        UpdateHandler h;
        {
          std::lock_guard lock(m);
          h = handler;
        }
        if (h) h(path);
      });
      queue->sync([] {});
      bool handled = false;
      Queue::main()->async([&handled] { handled = true; });
      runMainUntil([&handled] { return handled; });
    }
  };
  explicit FakePathMonitor(std::shared_ptr<Record> record) : record_(std::move(record)) {}
  Path currentPath() const override {
    std::lock_guard lock(record_->m);
    return record_->current;
  }
  void setUpdateHandler(UpdateHandler handler) override {
    std::lock_guard lock(record_->m);
    record_->handler = std::move(handler);
  }
  void start(std::shared_ptr<Queue> queue) override {
    std::lock_guard lock(record_->m);
    record_->queue = std::move(queue);
  }
  void cancel() override {
    std::lock_guard lock(record_->m);
    record_->cancelled = true;
    record_->handler = nullptr;
  }

 private:
  std::shared_ptr<Record> record_;
};

Interface interface(std::string name, InterfaceType type) {
  return {std::move(name), type, 0};
}
Path satisfied(std::vector<Interface> interfaces, std::vector<InterfaceType> used) {
  return {PathStatus::satisfied, std::move(interfaces), std::move(used)};
}

// Every value a subscriber was given, with whether it came on the main queue.
class Values : public ::testsupport::Recorded<std::string> {
 public:
  explicit Values(const NetworkPathMonitor& monitor)
      : token_(monitor.activeNetworkInterfacePublisher().sink([this](Type type) {
          add(std::string(toString(type)) +
              (Queue::current() == Queue::main().get() ? "" : " (off main)"));
        })) {}

 private:
  platform::reactive::AnyCancellable token_;
};

class NetworkPathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { log->take(); }
  void TearDown() override { log->detach(); }
  std::shared_ptr<testsupport::LogCapture> log = testsupport::LogCapture::attach();
};

TEST_F(NetworkPathMonitorTest, EachPathUpdateLogsAndAssignsByTheRules) {
  // Each platform monitor the service makes, oldest first.
  std::vector<std::shared_ptr<FakePathMonitor::Record>> made;
  auto monitor = NetworkPathMonitor::make([&made] {
    made.push_back(std::make_shared<FakePathMonitor::Record>());
    return std::make_unique<FakePathMonitor>(made.back());
  });
  Values values(*monitor);
  EXPECT_EQ(values.take(), Lines{"none"});  // the current value, on subscribing

  // The first evaluation runs inside start(), on the thread that calls it.
  std::thread([&] { monitor->start(); }).join();
  ASSERT_EQ(made.size(), 1u);
  auto record = made.back();
  EXPECT_EQ(values.take(), Lines{"none (off main)"});
  EXPECT_EQ(log->take(),
            (Lines{std::string("info ") + kTag + "start 'NetworkPathMonitor'",
                   std::string("verbose ") + kTag + "Network Path update - Status: unsatisfied",
                   std::string("verbose ") + kTag + "No network connection available"}));
  ASSERT_TRUE(record->queue);
  EXPECT_EQ(record->queue->label(), "NetworkPathMonitor");
  EXPECT_EQ(record->queue->qos(), platform::dispatch::QoS::Utility);

  const auto status = [](const char* name) {
    return std::string("verbose ") + kTag + "Network Path update - Status: " + name;
  };
  const auto line = [](const std::string& text) { return std::string("verbose ") + kTag + text; };
  const auto unknownKind = static_cast<InterfaceType>(42);
  struct Step {
    std::string what;
    Path path;
    Lines log;
    Lines assigned;
  };
  const std::vector<Step> steps = {
      {"Wi-Fi becomes primary",
       satisfied({interface("en0", InterfaceType::wifi)}, {InterfaceType::wifi}),
       {status("satisfied"), line("Found Main interface: en0 (wifi)"),
        line("Primary interface is now wifi")},
       {"wifi"}},
      {"the same kind again: no assignment",
       satisfied({interface("en1", InterfaceType::wifi)}, {InterfaceType::wifi}),
       {status("satisfied"), line("Found Main interface: en1 (wifi)")},
       {}},
      {"loopback skipped, then the first interface of a used kind",
       satisfied({interface("lo", InterfaceType::loopback), interface("wlan0", InterfaceType::wifi),
                  interface("eth0", InterfaceType::wiredEthernet)},
                 {InterfaceType::loopback, InterfaceType::wiredEthernet}),
       {status("satisfied"), line("Found Main interface: eth0 (wiredEthernet)"),
        line("Primary interface is now ethernet")},
       {"ethernet"}},
      {"cellular",
       satisfied({interface("rmnet0", InterfaceType::cellular)}, {InterfaceType::cellular}),
       {status("satisfied"), line("Found Main interface: rmnet0 (cellular)"),
        line("Primary interface is now cellular")},
       {"cellular"}},
      {"a kind the mapping does not know is other",
       satisfied({interface("ppp0", unknownKind)}, {unknownKind}),
       {status("satisfied"), line("Found Main interface: ppp0 (other)"),
        line("Primary interface is now other")},
       {"other"}},
      {"no interfaces at all: none",
       satisfied({}, {}),
       {status("satisfied"), line("No interfaces exist"), line("Primary interface is now none")},
       {"none"}},
      {"loopback only: the fallback, and none again, so no assignment",
       satisfied({interface("lo", InterfaceType::loopback)}, {InterfaceType::loopback}),
       {status("satisfied"), line("Fallback to first available interface: lo (loopback)")},
       {}},
      {"no used kind: the first available interface",
       satisfied({interface("tun0", InterfaceType::other), interface("en0", InterfaceType::wifi)},
                 {}),
       {status("satisfied"), line("Fallback to first available interface: tun0 (other)"),
        line("Primary interface is now other")},
       {"other"}},
      {"unsatisfied assigns none",
       Path{PathStatus::unsatisfied, {interface("en0", InterfaceType::wifi)}, {}},
       {status("unsatisfied"), line("No network connection available")},
       {"none"}},
      {"and again, although the value is none already",
       Path{PathStatus::unsatisfied, {}, {}},
       {status("unsatisfied"), line("No network connection available")},
       {"none"}},
      {"a path that requires a connection is not satisfied",
       Path{PathStatus::requiresConnection, {}, {}},
       {status("requiresConnection"), line("No network connection available")},
       {"none"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    record->report(step.path);
    EXPECT_EQ(log->take(), step.log);
    EXPECT_EQ(values.take(), step.assigned);
  }

  // A second start replaces the platform monitor and cancels the one it replaces; stop cancels
  // the new one and keeps the value.
  monitor->start();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_TRUE(made[0]->cancelled);
  EXPECT_FALSE(made[1]->cancelled);
  monitor->stop();
  EXPECT_TRUE(made[1]->cancelled);
  EXPECT_EQ(monitor->activeNetworkInterface(), Type::none);
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);
}

TEST_F(NetworkPathMonitorTest, ReportsReachingTheMainQueueAfterTheMonitorIsGoneAreDropped) {
  auto record = std::make_shared<FakePathMonitor::Record>();
  record->current = {PathStatus::unsatisfied, {}, {}};
  platform::network::PathMonitor::UpdateHandler late;
  {
    auto monitor =
        NetworkPathMonitor::make([record] { return std::make_unique<FakePathMonitor>(record); });
    // Never started: stop (here through destruction) only logs, and nothing is there to ask.
    EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);
    monitor->stop();
    EXPECT_EQ(log->take(), Lines{std::string("info ") + kTag + "stop 'NetworkPathMonitor'"});
    monitor->start();
    late = record->handler;
    log->take();
  }
  EXPECT_EQ(log->take(), Lines{std::string("info ") + kTag + "stop 'NetworkPathMonitor'"});
  ASSERT_TRUE(late);
  record->handler = late;
  record->report(satisfied({interface("en0", InterfaceType::wifi)}, {InterfaceType::wifi}));
  EXPECT_EQ(log->take(), Lines{});
}

TEST_F(NetworkPathMonitorTest, FollowsTheSystemAndAnswersWithTheInterfaceAddressAndDNS) {
  CS_SANDBOXED_NETWORK();
  using platform::network::testing::ip;
  using platform::network::testing::setResolvConf;
  ASSERT_EQ(ip({"link add en0 type veth peer name px0", "addr add 10.1.0.2/24 dev en0",
                "addr add 10.1.0.3/24 dev en0", "link set px0 up", "link set en0 up",
                "route add default via 10.1.0.1 dev en0"})
                .output,
            "");
  setResolvConf("nameserver 10.1.0.53\nnameserver 10.1.0.54\n");
  auto monitor = NetworkPathMonitor::make();
  monitor->start();
  EXPECT_EQ(monitor->activeNetworkInterface(), Type::ethernet);  // evaluated inside start()
  using Info = NetworkPathMonitor::NetworkConnectionInfo;
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(),
            (Info{"en0", "10.1.0.2", inet_addr("10.1.0.2"), "10.1.0.53"}));
  setResolvConf("");
  const auto withoutDns = monitor->getCurrentInterfaceInfo();
  ASSERT_TRUE(withoutDns);
  EXPECT_EQ(withoutDns->description(), "Interface: en0, IP: 10.1.0.2, DNS: NoDNSServer");
  const auto waitFor = [&](Type type) {
    return runMainUntil([&] { return monitor->activeNetworkInterface() == type; });
  };

  ASSERT_EQ(ip({"route del default via 10.1.0.1 dev en0"}).output, "");
  EXPECT_TRUE(waitFor(Type::none));
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);

  // Up, routed, but IPv6 only: the path is there, an IPv4 address is not.
  ASSERT_EQ(ip({"link add en1 type veth peer name px1", "addr add fd00::2/64 dev en1 nodad",
                "link set px1 up", "link set en1 up", "-6 route add default dev en1"})
                .output,
            "");
  EXPECT_TRUE(waitFor(Type::ethernet));
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);

  ASSERT_EQ(ip({"link del en1"}).output, "");
  EXPECT_TRUE(waitFor(Type::none));
  auto lines = log->take();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                std::string("verbose ") + kTag + "DNS server Not Found in System Configuration"),
      lines.end());

  // Through loopback only: satisfied, primary none (so nothing is assigned), and loopback has no
  // address to give.
  ASSERT_EQ(ip({"link set lo up", "route add default dev lo"}).output, "");
  const auto fallback =
      std::string("verbose ") + kTag + "Fallback to first available interface: lo (loopback)";
  EXPECT_TRUE(runMainUntil([&] {
    lines = log->lines();
    return std::find(lines.begin(), lines.end(), fallback) != lines.end();
  }));
  EXPECT_EQ(monitor->activeNetworkInterface(), Type::none);
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);

  ASSERT_EQ(ip({"route add default via 10.1.0.1 dev en0 metric 10"}).output, "");
  EXPECT_TRUE(waitFor(Type::ethernet));
  monitor->stop();
  EXPECT_EQ(monitor->getCurrentInterfaceInfo(), std::nullopt);
  EXPECT_EQ(monitor->activeNetworkInterface(), Type::ethernet);
}

TEST(NetworkConnectionInfoTest, DescriptionNamesWhatIsMissing) {
  using Info = NetworkPathMonitor::NetworkConnectionInfo;
  EXPECT_EQ((Info{"en0", "10.1.2.3", 0x0302010a, std::nullopt}).description(),
            "Interface: en0, IP: 10.1.2.3, DNS: NoDNSServer");
  EXPECT_EQ(Info{}.description(), "Interface: Unknown, IP: NoIP, DNS: NoDNSServer");
  EXPECT_EQ((Info{"eth1", "192.0.2.7", 0, "2001:db8::53"}).description(),
            "Interface: eth1, IP: 192.0.2.7, DNS: 2001:db8::53");
}

}  // namespace
}  // namespace sharedutils

#include "platform/network/DnsConfiguration.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/network/tests/NetworkSandbox.h"
#include "testsupport/ChildProcess.h"

namespace platform::network {
namespace {

using Servers = std::vector<std::string>;

TEST(DnsConfigurationTest, ResolvConfGivesTheValidNameserverLinesInOrder) {
  const auto file =
      std::filesystem::temp_directory_path() / ("resolv-" + std::to_string(getpid()) + ".conf");
  struct Case {
    std::string contents;
    Servers expected;
  };
  const std::vector<Case> cases = {
      {"nameserver 10.1.0.53\nnameserver 10.1.0.54\n", {"10.1.0.53", "10.1.0.54"}},
      {"# nameserver 10.9.9.9\n; nameserver 10.8.8.8\nsearch example.com\n"
       "  nameserver\t192.0.2.1  # the office\n",
       {"192.0.2.1"}},
      {"nameserver fe80::1%eth0\nnameserver 2001:db8::53\n", {"fe80::1%eth0", "2001:db8::53"}},
      // Not addresses, a keyword that only starts the same, a line without an address.
      {"nameserver dns.example.com\nnameservers 10.0.0.1\nnameserver\nnameserver 300.1.1.1\n"
       "nameserver 10.0.0.2",
       {"10.0.0.2"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    std::ofstream(file, std::ios::trunc) << c.contents;
    EXPECT_EQ(DnsConfiguration::resolvConfServers(file), c.expected);
  }
  std::filesystem::remove(file);
  EXPECT_EQ(DnsConfiguration::resolvConfServers(file), Servers{});
}

// A stand-in for systemd-resolved on the sandbox's private system bus: it owns the service's
// name and answers for the DNS property of its manager object with whatever list it holds.
class FakeResolved {
 public:
  struct Entry {
    int interfaceIndex;
    int family;
    std::string address;
  };

  FakeResolved() {
    worker_ = std::thread([this] { serve(); });
    std::unique_lock lock(m_);
    ready_.wait_for(lock, std::chrono::seconds(20), [this] { return state_ != State::starting; });
  }
  ~FakeResolved() { leave(); }

  bool serving() {
    std::lock_guard lock(m_);
    return state_ == State::serving;
  }
  void setServers(std::vector<Entry> entries) {
    std::lock_guard lock(m_);
    entries_ = std::move(entries);
  }
  // Gives the name up and stops answering, as a resolved that exits does.
  void leave() {
    stop_.store(true);
    if (worker_.joinable()) worker_.join();
  }

 private:
  enum class State { starting, serving, failed };

  static int getDns(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                    void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeResolved*>(userdata);
    std::lock_guard lock(self->m_);
    int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
    for (const auto& entry : self->entries_) {
      unsigned char bytes[16] = {};
      inet_pton(entry.family, entry.address.c_str(), bytes);
      if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "iiay");
      if (r >= 0) r = sd_bus_message_append(reply, "ii", entry.interfaceIndex, entry.family);
      if (r >= 0)
        r = sd_bus_message_append_array(reply, 'y', bytes, entry.family == AF_INET ? 4 : 16);
      if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  void serve() {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("DNS", "a(iiay)", getDns, 0, 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    const bool ok =
        sd_bus_open_system(&bus) >= 0 &&
        sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/resolve1",
                                 "org.freedesktop.resolve1.Manager", vtable, this) >= 0 &&
        sd_bus_request_name(bus, "org.freedesktop.resolve1", 0) >= 0;
    {
      std::lock_guard lock(m_);
      state_ = ok ? State::serving : State::failed;
      ready_.notify_all();
    }
    while (ok && !stop_.load()) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0) break;
      if (r == 0) sd_bus_wait(bus, 20'000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }

  std::mutex m_;
  std::condition_variable ready_;
  State state_ = State::starting;
  std::vector<Entry> entries_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

// A private dbus-daemon listening on the sandbox's system bus socket while alive.
class PrivateSystemBus {
 public:
  PrivateSystemBus() {
    const auto config = testing::sandboxDirectory() / "system-bus.conf";
    std::ofstream(config) << "<busconfig><type>system</type><listen>unix:path="
                          << testing::systemBusSocket().string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                             "<allow receive_sender=\"*\"/></policy></busconfig>";
    daemon_ = std::make_unique<::testsupport::BackgroundProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                                 "--nopidfile", "--print-address=1"});
    daemon_->outUntil("\n");  // printed once it listens
  }
  ~PrivateSystemBus() {
    daemon_.reset();
    std::filesystem::remove(testing::systemBusSocket());
  }
  bool running() const { return std::filesystem::exists(testing::systemBusSocket()); }

 private:
  std::unique_ptr<::testsupport::BackgroundProcess> daemon_;
};

TEST(DnsConfigurationTest, ResolvedIsAskedWhileItRunsAndResolvConfOtherwise) {
  CS_SANDBOXED_NETWORK();
  testing::setResolvConf("nameserver 10.1.0.53\nnameserver 10.1.0.54\n");
  // No bus at all.
  EXPECT_EQ(DnsConfiguration::resolvedServers(), std::nullopt);
  EXPECT_EQ(DnsConfiguration::systemServers(), (Servers{"10.1.0.53", "10.1.0.54"}));

  PrivateSystemBus bus;
  if (!bus.running()) GTEST_SKIP() << "dbus-daemon is not installed or did not start";
  // A bus, but no resolved on it: it is not started on demand, and resolv.conf answers.
  EXPECT_EQ(DnsConfiguration::systemServers(), (Servers{"10.1.0.53", "10.1.0.54"}));

  FakeResolved resolved;
  ASSERT_TRUE(resolved.serving());
  resolved.setServers({{0, AF_INET, "192.0.2.53"}, {2, AF_INET6, "2001:db8::53"}});
  EXPECT_EQ(DnsConfiguration::systemServers(), (Servers{"192.0.2.53", "2001:db8::53"}));
  // Follows resolved's changes; a link-local server keeps its link; an empty list is its answer.
  resolved.setServers({{1, AF_INET6, "fe80::53"}, {0, AF_INET, "198.51.100.7"}});
  EXPECT_EQ(DnsConfiguration::systemServers(), (Servers{"fe80::53%lo", "198.51.100.7"}));
  resolved.setServers({});
  EXPECT_EQ(DnsConfiguration::systemServers(), Servers{});

  // resolved goes away: back to the file, which is read afresh each time.
  resolved.leave();
  testing::setResolvConf("nameserver 10.2.0.53\n");
  EXPECT_EQ(DnsConfiguration::systemServers(), Servers{"10.2.0.53"});
}

}  // namespace
}  // namespace platform::network

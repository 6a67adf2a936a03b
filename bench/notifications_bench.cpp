// How long a notification takes from the caller's scheduling call to the notification server's
// receipt, against the floor: the same Notify call made directly with sd-bus, waiting for the
// reply. Both run against one private session bus and one notification server of the bench's own,
// so the difference is what the client's layers add (the queue hops, the settings read that checks
// the authorization, building the request). Each benchmark reports the median (p50_us) and the
// 90th percentile (p90_us) of the latencies of its notifications, in microseconds.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "SharedUtils/NotificationHelpers.h"
#include "SharedUtils/PublishedUserDefault.h"
#include "bench/BenchSupport.h"
#include "platform/defaults/Domain.h"
#include "platform/notifications/NotificationStore.h"
#include "platform/notifications/NotificationsBusInterface.h"
#include "platform/notifications/testing/Awaited.h"
#include "platform/notifications/testing/PrivateSessionBus.h"
#include "platform/notifications/testing/TestNotificationServer.h"

namespace {

namespace pn = platform::notifications;
using Clock = std::chrono::steady_clock;

constexpr int kNotifications = 200;

// The bench's own bus, server and settings, set up before the first notification. The process's
// notification centre finds the bus through the environment, as it would on a desktop.
struct Setup {
  bench::ScratchDir dir{"notifications-bench"};
  std::unique_ptr<pn::testing::PrivateSessionBus> bus;
  std::unique_ptr<pn::testing::TestNotificationServer> server;

  Setup() {
    platform::defaults::Domain::setBaseDirectory(std::filesystem::path(dir.path()) / "settings");
    bus = std::make_unique<pn::testing::PrivateSessionBus>(dir.path());
    if (!bus->running()) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    server = std::make_unique<pn::testing::TestNotificationServer>(bus->address());
    // The user has allowed notifications: the common case after the first one.
    if (auto settings = sharedutils::shared())
      settings->set(pn::kAuthorizationStatusKey, platform::defaults::Value(std::int64_t{2}));
    sharedutils::registerNotificationCenterCategories();
  }
  bool ready() const { return bus->running() && server && server->ready(); }
};

Setup& setup() {
  static Setup s;
  return s;
}

void report(benchmark::State& state, std::vector<double> micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
}

// The server's receipt of the latest notification, as seen from `start`.
std::optional<double> receiptAfter(Clock::time_point start) {
  const auto notifications = setup().server->notifications();
  if (notifications.empty()) return std::nullopt;
  return std::chrono::duration<double, std::micro>(notifications.back().receivedAt - start).count();
}

void BM_ScheduleNotification(benchmark::State& state) {
  if (!setup().ready()) return state.SkipWithError("no private session bus or server");
  std::vector<double> micros;
  for (auto _ : state) {
    pn::testing::Awaited<sharedutils::ScheduleResult> done;
    const auto start = Clock::now();
    sharedutils::scheduleNotification("Your connection is secured.", "Connected",
                                      sharedutils::NotificationCategory::serviceNotification,
                                      done.handler());
    const auto result = done.wait();
    if (!result || result->outcome != sharedutils::ScheduleOutcome::shown)
      return state.SkipWithError("the notification was not shown");
    const auto latency = receiptAfter(start);
    if (!latency) return state.SkipWithError("the server saw nothing");
    state.SetIterationTime(*latency / 1e6);
    micros.push_back(*latency);
  }
  report(state, std::move(micros));
}
BENCHMARK(BM_ScheduleNotification)->Iterations(kNotifications)->UseManualTime();

// The same notice (category hint, sound, urgency, no actions) with one synchronous sd-bus call.
void BM_BareNotify(benchmark::State& state) {
  if (!setup().ready()) return state.SkipWithError("no private session bus or server");
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, setup().bus->address().c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) {
    sd_bus_unref(bus);
    return state.SkipWithError("cannot connect to the private bus");
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(
        bus, pn::bus::kServiceName, pn::bus::kObjectPath, pn::bus::kInterface, pn::bus::kNotify,
        nullptr, &reply, pn::bus::kNotifySignature, "TarvoClient", std::uint32_t{0}, "",
        "Connected", "Your connection is secured.", 0, 3, pn::bus::kHintCategory, "s",
        "serviceNotification", pn::bus::kHintSoundName, "s", pn::bus::kDefaultSoundName,
        pn::bus::kHintUrgency, "y", std::uint8_t{1}, pn::bus::kServerDefaultTimeout);
    sd_bus_message_unref(reply);
    if (r < 0) {
      sd_bus_flush_close_unref(bus);
      return state.SkipWithError("Notify failed");
    }
    const auto latency = receiptAfter(start);
    if (!latency) {
      sd_bus_flush_close_unref(bus);
      return state.SkipWithError("the server saw nothing");
    }
    state.SetIterationTime(*latency / 1e6);
    micros.push_back(*latency);
  }
  sd_bus_flush_close_unref(bus);
  report(state, std::move(micros));
}
BENCHMARK(BM_BareNotify)->Iterations(kNotifications)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();

// How long a notification takes from the caller's scheduling call to the notification server's
// receipt, against the floor: the same Notify call made directly with sd-bus, waiting for the
// reply. Both run against one private session bus and one notification server of the bench's own,
// so the difference is what the client's layers add (the queue hops, the settings read that checks
// the authorization, building the request). Reports the medians of both latencies (ours_p50_us,
// bare_p50_us, in microseconds) and their ratio.
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
constexpr int kWarmUpPairs = 20;

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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The server's receipt of the latest notification, as seen from `start`.
std::optional<double> receiptAfter(Clock::time_point start) {
  const auto notifications = setup().server->notifications();
  if (notifications.empty()) return std::nullopt;
  return std::chrono::duration<double, std::micro>(notifications.back().receivedAt - start).count();
}

// One notification through scheduleNotification, timed to the server's receipt.
std::optional<double> scheduled() {
  pn::testing::Awaited<sharedutils::ScheduleResult> done;
  const auto start = Clock::now();
  sharedutils::scheduleNotification("Your connection is secured.", "Connected",
                                    sharedutils::NotificationCategory::serviceNotification,
                                    done.handler());
  const auto result = done.wait();
  if (!result || result->outcome != sharedutils::ScheduleOutcome::shown) return std::nullopt;
  return receiptAfter(start);
}

// The same notice (category hint, sound, urgency, no actions) with one synchronous sd-bus call.
std::optional<double> bare(sd_bus* bus) {
  const auto start = Clock::now();
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(
      bus, pn::bus::kServiceName, pn::bus::kObjectPath, pn::bus::kInterface, pn::bus::kNotify,
      nullptr, &reply, pn::bus::kNotifySignature, "TarvoClient", std::uint32_t{0}, "", "Connected",
      "Your connection is secured.", 0, 3, pn::bus::kHintCategory, "s", "serviceNotification",
      pn::bus::kHintSoundName, "s", pn::bus::kDefaultSoundName, pn::bus::kHintUrgency, "y",
      std::uint8_t{1}, pn::bus::kServerDefaultTimeout);
  sd_bus_message_unref(reply);
  if (r < 0) return std::nullopt;
  return receiptAfter(start);
}

// Ours and the bare call alternate, one pair per iteration, so that both meet the same load: a
// machine whose load changes during the run moves both figures, not their ratio. The first pairs
// are not counted (the centre's first call connects to the bus and opens the settings).
void BM_ScheduleAgainstBareNotify(benchmark::State& state) {
  if (!setup().ready()) return state.SkipWithError("no private session bus or server");
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(nullptr,
                                                                   &sd_bus_flush_close_unref);
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  bus.reset(raw);
  if (r >= 0) r = sd_bus_set_address(raw, setup().bus->address().c_str());
  if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
  if (r >= 0) r = sd_bus_start(raw);
  if (r < 0) return state.SkipWithError("cannot connect to the private bus");
  for (int i = 0; i < kWarmUpPairs; ++i) {
    if (!bare(raw) || !scheduled()) return state.SkipWithError("a warm-up notification failed");
  }
  std::vector<double> ours, floor;
  for (auto _ : state) {
    const auto b = bare(raw);
    const auto o = scheduled();
    if (!b || !o) return state.SkipWithError("a notification was not shown");
    state.SetIterationTime(*o / 1e6);
    ours.push_back(*o);
    floor.push_back(*b);
  }
  const double oursP50 = median(ours), floorP50 = median(floor);
  state.counters["ours_p50_us"] = oursP50;
  state.counters["bare_p50_us"] = floorP50;
  state.counters["ratio_p50"] = oursP50 / floorP50;
}
// Each repetition is 200 pairs; the median of the repetitions' ratios is the figure.
BENCHMARK(BM_ScheduleAgainstBareNotify)
    ->Iterations(kNotifications)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();

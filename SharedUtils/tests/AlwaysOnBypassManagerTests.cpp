// The bypass manager on a test clock (the machine's clock is never set here): expiry by the wall
// clock, the clock-jump check, re-activation, the ending (launcher or callback) and the exact log
// lines; then the owner's calls racing the timers on the system's clocks.
#include "SharedUtils/AlwaysOnBypassManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SharedUtils/UserDefaults+Extension.h"
#include "SharedUtils/tests/LogCapture.h"
#include "platform/async/TestClock.h"
#include "platform/defaults/Domain.h"
#include "testsupport/Recorded.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

using platform::async::TestClock;
using platform::dispatch::Queue;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// The settings live in a temporary directory, chosen before any setting is first used.
const ::testsupport::TemporaryDirectory& settingsDir() {
  static ::testsupport::TemporaryDirectory dir;
  return dir;
}
const bool kSettingsChosen = [] {
  platform::defaults::Domain::setBaseDirectory(settingsDir().path());
  return true;
}();

class RecordingLauncher final : public platform::launcher::Launcher,
                                public ::testsupport::Recorded<std::string> {
 public:
  void open(const std::string& url) override { add(url); }
  Lines opened() { return all(); }
};

class BypassManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSettingsChosen);
    manager = AlwaysOnBypassManager::make(
        {time.wall(), time.monotonic(), launcher, Queue::makeConcurrent("bypass.timers")});
    start = time.wall().now();
  }
  void TearDown() override {
    // Ending bypass mode releases the timers, whose handlers hold the manager.
    manager->bypassModeDeactivate();
    log->detach();
  }

  // Every line logged since the last call, as "<level> <message>".
  Lines logged() { return log->take(); }
  AlwaysOnBypassManager::Date lastKnown() {
    return UserDefaults::lastKnowTimeForBypassClockTamperDetection.wrappedValue();
  }

  TestClock time;
  std::shared_ptr<testsupport::LogCapture> log = testsupport::LogCapture::attach();
  std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
  std::shared_ptr<AlwaysOnBypassManager> manager;
  AlwaysOnBypassManager::Date start;
};

const Lines kEnding{"info Bypass time ended, deactivate", "info bypassModeDeactivate"};
const Lines kOpened{AlwaysOnBypassManager::kClientApplicationURL};

TEST_F(BypassManagerTest, ActivationEndsExactlyAtTheEndTimeByTheWallClock) {
  manager->bypassModeActivate(120);
  EXPECT_EQ(logged(), (Lines{"info bypassModeActivate",
                             "debug bypassModeActivate: bypass mode duration time: 120.000000",
                             "info Activating bypass expiry timer with duration 120.000000"}));
  EXPECT_EQ(manager->bypassModeEndTime(), start + 120s);
  EXPECT_EQ(lastKnown(), start);

  time.advance(60s);  // the minute check finds the clock in order and records it
  EXPECT_EQ(lastKnown(), start + 60s);
  time.advance(60s - 1ns);
  EXPECT_TRUE(logged().empty());
  EXPECT_TRUE(launcher->opened().empty());
  time.advance(1ns);
  EXPECT_EQ(logged(), kEnding);
  EXPECT_EQ(launcher->opened(), kOpened);
  EXPECT_EQ(manager->bypassModeEndTime(), std::nullopt);

  time.advance(10min);  // both timers are gone
  EXPECT_TRUE(logged().empty());
  EXPECT_EQ(launcher->opened().size(), 1u);
}

// At the minute check the clock reads some seconds behind the last time the manager saw it.
TEST_F(BypassManagerTest, ClockWoundBackMoreThanTenSecondsEndsBypassAtTheNextCheck) {
  struct Case {
    std::chrono::seconds behind;
    bool ends;
  };
  for (const Case& c : {Case{5s, false}, Case{10s, false}, Case{11s, true}}) {
    SCOPED_TRACE(c.behind.count());
    const auto activatedAt = time.wall().now();
    const auto launches = launcher->opened().size();
    manager->bypassModeActivate(900);
    logged();
    time.advance(59s);
    time.setWall(activatedAt - c.behind - 1s);
    time.advance(1s);  // the check, at activatedAt - behind
    const auto checkedAt = activatedAt - c.behind;
    if (c.ends) {
      EXPECT_EQ(logged(),
                (Lines{"warning Detected that clock has jumped back last known time "
                       "2026-01-01 00:00:00 +0000, current time 2025-12-31 23:59:49 +0000",
                       "info bypassModeDeactivate"}));
      EXPECT_EQ(lastKnown(), activatedAt);  // not moved on this path
      EXPECT_EQ(manager->bypassModeEndTime(), std::nullopt);
      EXPECT_EQ(launcher->opened().size(), launches + 1);
    } else {
      EXPECT_TRUE(logged().empty());
      EXPECT_EQ(lastKnown(), checkedAt);
      EXPECT_NE(manager->bypassModeEndTime(), std::nullopt);
      EXPECT_EQ(launcher->opened().size(), launches);
      manager->bypassModeDeactivate();
      time.setWall(activatedAt);
      logged();
    }
  }
}

TEST_F(BypassManagerTest, ClockSetPastTheEndEndsBypassAtOnce) {
  manager->bypassModeActivate(120);
  time.advance(10s);
  logged();
  time.moveWall(200s);  // no time passes on the monotonic clock
  EXPECT_EQ(logged(), kEnding);
  EXPECT_EQ(launcher->opened(), kOpened);
}

TEST_F(BypassManagerTest, ReactivationRestartsThePeriodWithOneExpiry) {
  manager->bypassModeActivate(120);
  time.advance(60s);
  manager->bypassModeActivate(120);
  EXPECT_EQ(manager->bypassModeEndTime(), start + 180s);
  logged();
  time.advance(60s);  // the first period's end passes unnoticed
  EXPECT_TRUE(logged().empty());
  time.advance(60s);
  EXPECT_EQ(logged(), kEnding);
  time.advance(5min);
  EXPECT_EQ(launcher->opened(), kOpened);

  // Re-arming after a restart: the owner calls startBypassModeExpiryTimer directly.
  manager->startBypassModeExpiryTimer(30);
  EXPECT_EQ(logged(), (Lines{"info Activating bypass expiry timer with duration 30.000000"}));
  time.advance(30s);
  EXPECT_EQ(logged(), kEnding);
}

TEST_F(BypassManagerTest, EndingCallsTheCallbackInsteadOfTheLauncherWhenAsked) {
  std::atomic<int> calls{0};
  manager->setNewMacBypass(false);
  manager->setBypassModeDeactivateClosure([&] { ++calls; });
  manager->bypassModeActivate(60);
  time.advance(60s);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(launcher->opened().empty());
  logged();

  // Ending while off: it still logs and still calls back.
  manager->bypassModeDeactivate();
  EXPECT_EQ(logged(), (Lines{"info bypassModeDeactivate"}));
  EXPECT_EQ(calls.load(), 2);

  // The callback may call back into the manager, and what it throws goes no further.
  manager->setBypassModeDeactivateClosure([&] {
    manager->setBypassModeTimeSec(manager->bypassModeTimeSec() + 1);
    throw std::runtime_error("callback broke");
  });
  manager->bypassModeDeactivate();
  EXPECT_EQ(manager->bypassModeTimeSec(), 901.0);
  EXPECT_EQ(logged(), (Lines{"info bypassModeDeactivate",
                             "error bypassModeDeactivate: the deactivate callback failed: "
                             "callback broke"}));
  manager->setBypassModeDeactivateClosure([] {});
}

// The owner's calls from several threads racing both timers' handlers on the system's clocks
// (the expiry is due almost at once): their work never overlaps (the sanitizers watch), and once
// the last deactivation has returned nothing fires any more.
TEST(BypassManagerRace, OwnerCallsAndTimersNeverOverlap) {
  ASSERT_TRUE(kSettingsChosen);
  auto launcher = std::make_shared<RecordingLauncher>();
  auto timers = Queue::makeConcurrent("bypass.race");
  auto manager = AlwaysOnBypassManager::make({{}, {}, launcher, timers});
  std::vector<std::thread> owners;
  for (int t = 0; t < 4; ++t) {
    owners.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if ((i + t) % 3 == 0) {
          manager->bypassModeDeactivate();
        } else {
          manager->bypassModeActivate(0.0005);
        }
        manager->checkTimeValidForBypass();
      }
    });
  }
  for (auto& t : owners)
    t.join();
  manager->bypassModeDeactivate();
  EXPECT_EQ(manager->bypassModeEndTime(), std::nullopt);
  // A handler that ended bypass mode just before the last deactivation may still be opening
  // the application: the barrier waits for it. Handlers that run later belong to timers that
  // are gone and must do nothing, although an armed 0.5 ms expiry would be long due.
  timers->syncBarrier([] {});
  const auto settled = launcher->opened().size();
  std::this_thread::sleep_for(20ms);
  timers->syncBarrier([] {});
  EXPECT_EQ(launcher->opened().size(), settled);
}

}  // namespace
}  // namespace sharedutils

#include "SharedUtils/AlwaysOnBypassManager.h"

#include <ctime>
#include <exception>

#include "SharedUtils/Constants.h"
#include "SharedUtils/UserDefaults+Extension.h"
#include "logging/DDLogFrontEnd.h"
#include "platform/base/NoDestructor.h"

namespace sharedutils {
namespace {

using namespace std::chrono_literals;

constexpr auto kCheckInterval = 60s;
// How far the clock may go back between two checks before bypass mode ends.
constexpr double kAllowedJumpBackSeconds = -10.0;

// A date as "%@" writes one: "2026-01-01 00:00:00 +0000" (UTC, whole seconds).
struct DateText {
  AlwaysOnBypassManager::Date date;
  std::string description() const {
    const auto secs = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return std::string(buf, n);
  }
};

}  // namespace

struct AlwaysOnBypassManager::Access {};

AlwaysOnBypassManager::AlwaysOnBypassManager(const Access&, Environment environment)
    : env_(std::move(environment)) {}

std::shared_ptr<AlwaysOnBypassManager> AlwaysOnBypassManager::make(Environment environment) {
  return std::make_shared<AlwaysOnBypassManager>(Access{}, std::move(environment));
}

AlwaysOnBypassManager& AlwaysOnBypassManager::shared() {
  static platform::base::NoDestructor<std::shared_ptr<AlwaysOnBypassManager>> instance(
      make(Environment{}));
  return **instance;
}

void AlwaysOnBypassManager::bypassModeActivate(double bypassModeDurationTimeSec) {
  std::lock_guard lock(m_);
  DDLogInfo("bypassModeActivate");
  DDLogDebug("bypassModeActivate: bypass mode duration time: %lf", bypassModeDurationTimeSec);
  const Date now = env_.wall.now();
  bypassModeEndTime_ = now + TimeInterval::toNanoseconds(bypassModeDurationTimeSec);
  UserDefaults::lastKnowTimeForBypassClockTamperDetection.setWrappedValue(now);
  startTimersLocked(bypassModeDurationTimeSec);
}

void AlwaysOnBypassManager::startBypassModeExpiryTimer(double expiry) {
  std::lock_guard lock(m_);
  startTimersLocked(expiry);
}

void AlwaysOnBypassManager::startTimersLocked(double expiry) {
  DDLogInfo("Activating bypass expiry timer with duration %lf", expiry);
  const std::uint64_t generation = ++generation_;
  auto self = shared_from_this();

  if (bypassModeTimer_) bypassModeTimer_->cancel();
  bypassModeTimer_.emplace(env_.wall.makeTimer(env_.timerQueue));
  bypassModeTimer_->schedule(env_.wall.now() + TimeInterval::toNanoseconds(expiry));
  bypassModeTimer_->setEventHandler([self, generation] { self->expiryFired(generation); });
  bypassModeTimer_->resume();

  if (timeMonitoringTimer_) timeMonitoringTimer_->cancel();
  timeMonitoringTimer_.emplace(env_.monotonic.makeTimer(env_.timerQueue));
  timeMonitoringTimer_->schedule(env_.monotonic.now() + kCheckInterval, kCheckInterval);
  timeMonitoringTimer_->setEventHandler([self, generation] { self->monitorFired(generation); });
  UserDefaults::lastKnowTimeForBypassClockTamperDetection.setWrappedValue(env_.wall.now());
  timeMonitoringTimer_->resume();
}

void AlwaysOnBypassManager::expiryFired(std::uint64_t generation) {
  Ending ending;
  {
    std::lock_guard lock(m_);
    if (generation != generation_) return;
    DDLogInfo("Bypass time ended, deactivate");
    ending = deactivateLocked();
  }
  ending();
}

void AlwaysOnBypassManager::monitorFired(std::uint64_t generation) {
  Ending ending;
  {
    std::lock_guard lock(m_);
    if (generation != generation_) return;
    ending = checkTimeLocked();
  }
  if (ending) ending();
}

void AlwaysOnBypassManager::checkTimeValidForBypass() {
  Ending ending;
  {
    std::lock_guard lock(m_);
    ending = checkTimeLocked();
  }
  if (ending) ending();
}

AlwaysOnBypassManager::Ending AlwaysOnBypassManager::checkTimeLocked() {
  const Date now = env_.wall.now();
  const Date last = UserDefaults::lastKnowTimeForBypassClockTamperDetection.wrappedValue();
  const double difference = std::chrono::duration<double>(now - last).count();
  // Written so that a difference that is not a number counts as no jump.
  if (!(difference < kAllowedJumpBackSeconds)) {
    UserDefaults::lastKnowTimeForBypassClockTamperDetection.setWrappedValue(now);
    return nullptr;
  }
  DDLogWarn("Detected that clock has jumped back last known time %@, current time %@",
            DateText{last}, DateText{now});
  return deactivateLocked();
}

void AlwaysOnBypassManager::bypassModeDeactivate() {
  Ending ending;
  {
    std::lock_guard lock(m_);
    ending = deactivateLocked();
  }
  ending();
}

AlwaysOnBypassManager::Ending AlwaysOnBypassManager::deactivateLocked() {
  DDLogInfo("bypassModeDeactivate");
  ++generation_;
  if (timeMonitoringTimer_) timeMonitoringTimer_->cancel();
  timeMonitoringTimer_.reset();
  if (bypassModeTimer_) bypassModeTimer_->cancel();
  bypassModeTimer_.reset();
  bypassModeEndTime_.reset();
  if (newMacBypass_) {
    return [launcher = env_.launcher] { launcher->open(kClientApplicationURL); };
  }
  return [closure = bypassModeDeactivateClosure_] {
    // The owner's callback runs on a timer's queue: nothing it throws may leave the handler.
    try {
      if (closure) closure();
    } catch (const std::exception& e) {
      DDLogError("bypassModeDeactivate: the deactivate callback failed: %@", e.what());
    } catch (...) {
      DDLogError("bypassModeDeactivate: the deactivate callback failed");
    }
  };
}

double AlwaysOnBypassManager::bypassModeTimeSec() const {
  std::lock_guard lock(m_);
  return bypassModeTimeSec_;
}

void AlwaysOnBypassManager::setBypassModeTimeSec(double seconds) {
  std::lock_guard lock(m_);
  bypassModeTimeSec_ = seconds;
}

std::optional<AlwaysOnBypassManager::Date> AlwaysOnBypassManager::bypassModeEndTime() const {
  std::lock_guard lock(m_);
  return bypassModeEndTime_;
}

void AlwaysOnBypassManager::setBypassModeEndTime(std::optional<Date> end) {
  std::lock_guard lock(m_);
  bypassModeEndTime_ = end;
}

std::function<void()> AlwaysOnBypassManager::bypassModeDeactivateClosure() const {
  std::lock_guard lock(m_);
  return bypassModeDeactivateClosure_;
}

void AlwaysOnBypassManager::setBypassModeDeactivateClosure(std::function<void()> closure) {
  std::lock_guard lock(m_);
  bypassModeDeactivateClosure_ = std::move(closure);
}

bool AlwaysOnBypassManager::newMacBypass() const {
  std::lock_guard lock(m_);
  return newMacBypass_;
}

void AlwaysOnBypassManager::setNewMacBypass(bool value) {
  std::lock_guard lock(m_);
  newMacBypass_ = value;
}

AlwaysOnBypassManager::Date AlwaysOnBypassManager::lastKnowTimeForBypassClockTamperDetection()
    const {
  return UserDefaults::lastKnowTimeForBypassClockTamperDetection.wrappedValue();
}

void AlwaysOnBypassManager::setLastKnowTimeForBypassClockTamperDetection(Date date) {
  UserDefaults::lastKnowTimeForBypassClockTamperDetection.setWrappedValue(date);
}

}  // namespace sharedutils

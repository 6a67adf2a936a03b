#include "logging/DDAbstractDatabaseLogger.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "logging/DDLoggerQueueAccess.h"

namespace {

using platform::dispatch::Time;
using platform::dispatch::TimerSource;

// The longest delay a timer is armed with, in seconds: its nanoseconds still fit 64 bits, so an
// infinite or huge interval means "not in this process's lifetime" instead of an overflow.
constexpr double kMaximumTimerSeconds = 9223372036.0;

std::chrono::nanoseconds seconds(double s) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(std::min(s, kMaximumTimerSeconds)));
}

// A duration that is not a number is taken as 0, which turns its timer or deletion off. Kept, it
// would compare neither above nor at most 0, and a timer would be armed with it.
double offWhenNotANumber(double s) {
  return std::isnan(s) ? 0.0 : s;
}

constexpr auto kLeeway = std::chrono::seconds(1);

Time plus(Time t, double s) {
  return Time::after(std::chrono::nanoseconds(t.nanoseconds() - Time::now().nanoseconds()) +
                     seconds(s));
}

}  // namespace

DDAbstractDatabaseLogger::DDAbstractDatabaseLogger() = default;

DDAbstractDatabaseLogger::~DDAbstractDatabaseLogger() {
  // Timers hold this logger only weakly; cancelling them here stops them from firing at all.
  destroySaveTimer();
  destroyDeleteTimer();
}

bool DDAbstractDatabaseLogger::db_log(const DDLogMessagePtr& /*message*/) {
  return false;
}

// ---- storing and saving ----

void DDAbstractDatabaseLogger::logMessage(const DDLogMessagePtr& message) {
  if (!db_log(message)) return;
  ++_unsavedCount;
  const std::uint64_t threshold = _saveThreshold.load();
  if (threshold > 0 && _unsavedCount >= threshold) {
    performSaveAndSuspendSaveTimer();
  } else if (_unsavedCount == 1) {
    _unsavedTime = Time::now();
    updateAndResumeSaveTimer();
  }
}

void DDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
  if (_unsavedCount > 0) {
    if (_deleteOnEverySave) {
      db_saveAndDelete();
    } else {
      db_save();
    }
  }
  _unsavedCount = 0;
  _unsavedTime.reset();
  if (_saveTimer && _saveTimerSuspended == kRunning) {
    _saveTimer->suspend();
    _saveTimerSuspended = kSuspended;
  }
}

void DDAbstractDatabaseLogger::performDelete() {
  if (_maxAge.load() > 0) {
    db_delete();
    _lastDeleteTime = Time::now();
  }
}

void DDAbstractDatabaseLogger::flush() {
  performSaveAndSuspendSaveTimer();
}

void DDAbstractDatabaseLogger::didAddLogger() {
  createSuspendedSaveTimer();
  createAndStartDeleteTimer();
}

void DDAbstractDatabaseLogger::willRemoveLogger() {
  performSaveAndSuspendSaveTimer();
  destroySaveTimer();
  destroyDeleteTimer();
}

// ---- save timer ----

void DDAbstractDatabaseLogger::createSuspendedSaveTimer() {
  if (_saveTimer || _saveInterval.load() <= 0) return;
  _saveTimer = TimerSource::make(loggerQueue());
  std::weak_ptr<DDAbstractLogger> weak = weak_from_this();
  _saveTimer->setEventHandler([weak] {
    if (auto self = std::static_pointer_cast<DDAbstractDatabaseLogger>(weak.lock())) {
      self->performSaveAndSuspendSaveTimer();
    }
  });
  _saveTimerSuspended = kNeverStarted;
}

void DDAbstractDatabaseLogger::startOrResumeSaveTimer() {
  if (_saveTimerSuspended == kNeverStarted || _saveTimerSuspended == kSuspended) {
    _saveTimer->resume();
    _saveTimerSuspended = kRunning;
  }
}

void DDAbstractDatabaseLogger::updateAndResumeSaveTimer() {
  const double interval = _saveInterval.load();
  if (!_saveTimer || interval <= 0 || !_unsavedTime) return;
  _saveTimer->schedule(plus(*_unsavedTime, interval), seconds(interval), kLeeway);
  startOrResumeSaveTimer();
}

void DDAbstractDatabaseLogger::destroySaveTimer() {
  if (!_saveTimer) return;
  // A source is resumed before it is cancelled, so that its cancellation is delivered.
  startOrResumeSaveTimer();
  _saveTimer->cancel();
  _saveTimer.reset();
  _saveTimerSuspended = kRunning;
}

// ---- delete timer ----

void DDAbstractDatabaseLogger::createAndStartDeleteTimer() {
  if (_deleteTimer || _deleteInterval.load() <= 0 || _maxAge.load() <= 0) return;
  _deleteTimer = TimerSource::make(loggerQueue());
  std::weak_ptr<DDAbstractLogger> weak = weak_from_this();
  _deleteTimer->setEventHandler([weak] {
    if (auto self = std::static_pointer_cast<DDAbstractDatabaseLogger>(weak.lock())) {
      self->performDelete();
    }
  });
  updateDeleteTimer();
  _deleteTimer->resume();
}

void DDAbstractDatabaseLogger::updateDeleteTimer() {
  const double interval = _deleteInterval.load();
  if (!_deleteTimer || interval <= 0 || _maxAge.load() <= 0) return;
  const Time start =
      _lastDeleteTime ? plus(*_lastDeleteTime, interval) : plus(Time::now(), interval);
  _deleteTimer->schedule(start, seconds(interval), kLeeway);
}

void DDAbstractDatabaseLogger::destroyDeleteTimer() {
  if (!_deleteTimer) return;
  _deleteTimer->cancel();
  _deleteTimer.reset();
}

// ---- settings ----

std::uint64_t DDAbstractDatabaseLogger::saveThreshold() {
  std::uint64_t value = _saveThreshold.load();
  ddSyncOnLoggerQueue(*this, "saveThreshold", [&] { value = _saveThreshold.load(); });
  return value;
}

void DDAbstractDatabaseLogger::setSaveThreshold(std::uint64_t threshold) {
  ddAsyncOnLoggerQueue(*this, "setSaveThreshold", [this, threshold] {
    if (threshold == _saveThreshold.load()) return;
    _saveThreshold = threshold;
    if (threshold > 0 && _unsavedCount >= threshold) performSaveAndSuspendSaveTimer();
  });
}

double DDAbstractDatabaseLogger::saveInterval() {
  double value = _saveInterval.load();
  ddSyncOnLoggerQueue(*this, "saveInterval", [&] { value = _saveInterval.load(); });
  return value;
}

void DDAbstractDatabaseLogger::setSaveInterval(double interval) {
  interval = offWhenNotANumber(interval);
  ddAsyncOnLoggerQueue(*this, "setSaveInterval", [this, interval] {
    if (interval == _saveInterval.load()) return;
    _saveInterval = interval;
    if (interval > 0) {
      createSuspendedSaveTimer();
      updateAndResumeSaveTimer();
    } else {
      destroySaveTimer();
    }
  });
}

double DDAbstractDatabaseLogger::maxAge() {
  double value = _maxAge.load();
  ddSyncOnLoggerQueue(*this, "maxAge", [&] { value = _maxAge.load(); });
  return value;
}

void DDAbstractDatabaseLogger::setMaxAge(double age) {
  age = offWhenNotANumber(age);
  ddAsyncOnLoggerQueue(*this, "setMaxAge", [this, age] {
    const double old = _maxAge.load();
    if (age == old) return;
    _maxAge = age;
    if (old > 0 && age <= 0) {
      destroyDeleteTimer();
    } else if (age > 0 && (old <= 0 || age < old)) {
      // Records the new age condemns go now, not at the next tick.
      performDelete();
      if (_deleteTimer) {
        updateDeleteTimer();
      } else {
        createAndStartDeleteTimer();
      }
    }
  });
}

double DDAbstractDatabaseLogger::deleteInterval() {
  double value = _deleteInterval.load();
  ddSyncOnLoggerQueue(*this, "deleteInterval", [&] { value = _deleteInterval.load(); });
  return value;
}

void DDAbstractDatabaseLogger::setDeleteInterval(double interval) {
  interval = offWhenNotANumber(interval);
  ddAsyncOnLoggerQueue(*this, "setDeleteInterval", [this, interval] {
    if (interval == _deleteInterval.load()) return;
    _deleteInterval = interval;
    if (interval <= 0) {
      destroyDeleteTimer();
    } else if (_deleteTimer) {
      updateDeleteTimer();
    } else {
      createAndStartDeleteTimer();
    }
  });
}

bool DDAbstractDatabaseLogger::deleteOnEverySave() {
  bool value = _deleteOnEverySave.load();
  ddSyncOnLoggerQueue(*this, "deleteOnEverySave", [&] { value = _deleteOnEverySave.load(); });
  return value;
}

void DDAbstractDatabaseLogger::setDeleteOnEverySave(bool value) {
  ddAsyncOnLoggerQueue(*this, "setDeleteOnEverySave",
                       [this, value] { _deleteOnEverySave = value; });
}

void DDAbstractDatabaseLogger::savePendingLogEntries() {
  ddAsyncOnLoggerQueue(*this, "savePendingLogEntries",
                       [this] { performSaveAndSuspendSaveTimer(); });
}

void DDAbstractDatabaseLogger::deleteOldLogEntries() {
  ddAsyncOnLoggerQueue(*this, "deleteOldLogEntries", [this] { performDelete(); });
}

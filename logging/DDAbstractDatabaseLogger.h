#pragma once
// The base of loggers that store records in a database. It stores nothing itself: a derived
// logger supplies four hooks, and the base decides when to call them.
//
// - db_log(record): store one record (usually inside a pending transaction); true when stored.
// - db_save(): make the pending records durable (commit).
// - db_delete(): delete records older than maxAge().
// - db_saveAndDelete(): both in one go; used instead of db_save() when deleteOnEverySave is on.
//
// Saving happens in batches: at once when saveThreshold records are pending (0: never by count),
// else at the latest saveInterval seconds after the first pending record (0 or less: never by
// time), and on flush and removal from the dispatcher. Deletion runs every deleteInterval seconds
// while maxAge is above 0 (0 or less turns either off), and at once when maxAge is shortened.
//
// Threads. All state lives on the logger queue; both timers fire there and every hook is called
// there, so a derived logger needs no lock for its database work. Setters run at once on the
// logger queue, else are queued through the global logging queue; getters wait on the logger
// queue through the global logging queue (DDLoggerQueueAccess.h). Neither may be called on the
// global logging queue. A setter given the value already set does nothing.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "logging/DDAbstractLogger.h"
#include "platform/dispatch/Source.h"
#include "platform/dispatch/Time.h"

class DDAbstractDatabaseLogger : public DDAbstractLogger {
 public:
  static constexpr std::uint64_t kDefaultSaveThreshold = 500;
  static constexpr double kDefaultSaveInterval = 60;
  static constexpr double kDefaultMaxAge = 60 * 60 * 24 * 7;
  static constexpr double kDefaultDeleteInterval = 60 * 5;

  DDAbstractDatabaseLogger();
  // Destroys both timers.
  ~DDAbstractDatabaseLogger() override;

  // ---- settings ----
  std::uint64_t saveThreshold();
  void setSaveThreshold(std::uint64_t threshold);
  double saveInterval();
  void setSaveInterval(double seconds);
  double maxAge();
  void setMaxAge(double seconds);
  double deleteInterval();
  void setDeleteInterval(double seconds);
  bool deleteOnEverySave();
  void setDeleteOnEverySave(bool value);

  // Save or delete now: at once on the logger queue, else queued onto it.
  void savePendingLogEntries();
  void deleteOldLogEntries();

  // ---- logger interface ----
  void logMessage(const DDLogMessagePtr& message) override;
  // Saves what is pending.
  void flush() override;
  // Creates the (suspended) save timer and starts the delete timer.
  void didAddLogger() override;
  // Saves what is pending and destroys both timers.
  void willRemoveLogger() override;
  unsigned offeredOperations() const override {
    return DDAbstractLogger::offeredOperations() | kDidAddLogger | kWillRemoveLogger | kFlush;
  }

  // ---- inner operations, on the logger queue ----
  void performSaveAndSuspendSaveTimer();
  void performDelete();
  void destroySaveTimer();
  void updateAndResumeSaveTimer();
  void createSuspendedSaveTimer();
  void destroyDeleteTimer();
  void updateDeleteTimer();
  void createAndStartDeleteTimer();

 protected:
  // ---- hooks for derived loggers; all run on the logger queue ----
  virtual bool db_log(const DDLogMessagePtr& message);
  virtual void db_save() {}
  virtual void db_delete() {}
  virtual void db_saveAndDelete() {}

  // Records stored but not yet saved (logger queue only).
  std::uint64_t unsavedCount() const { return _unsavedCount; }
  // The maximum age in force, for db_delete() and db_saveAndDelete() (logger queue only).
  double currentMaxAge() const { return _maxAge.load(); }

 private:
  // State of the save timer.
  enum : std::int64_t { kNeverStarted = -1, kRunning = 0, kSuspended = 1 };

  void startOrResumeSaveTimer();

  // Settings: changed on the logger queue; atomics so that a refused getter can still answer.
  std::atomic<std::uint64_t> _saveThreshold{kDefaultSaveThreshold};
  std::atomic<double> _saveInterval{kDefaultSaveInterval};
  std::atomic<double> _maxAge{kDefaultMaxAge};
  std::atomic<double> _deleteInterval{kDefaultDeleteInterval};
  std::atomic<bool> _deleteOnEverySave{false};

  // Logger-queue state.
  std::int64_t _saveTimerSuspended = kRunning;
  std::uint64_t _unsavedCount = 0;
  std::optional<platform::dispatch::Time> _unsavedTime;
  std::shared_ptr<platform::dispatch::TimerSource> _saveTimer;
  std::optional<platform::dispatch::Time> _lastDeleteTime;
  std::shared_ptr<platform::dispatch::TimerSource> _deleteTimer;
};

#pragma once
// The dispatcher: takes every record onto the global logging queue and hands it to each
// registered logger whose level admits the record's flag, each logger on its own serial queue.
//
// - The global logging queue (serial, "orvel.quillmark") is the only place where a dispatcher's
//   logger list is read or changed; the lt_ operations run only there. It is shared by every
//   dispatcher instance in the process, as are the logging group and the exit flush.
// - The dispatcher waits, with no time limit, until every admitting logger has handled a record
//   before it takes the next one, so all loggers see records in the one order they were queued.
// - Instances must be owned by a std::shared_ptr (queued work keeps its dispatcher alive). The
//   processor count is an instance property so that both fan-out paths can be exercised; the
//   shared instance uses the machine's.
// - Asynchronous records reach the global logging queue in batches: a record joins the batch of
//   the dispatcher's last queued item while that item is still the last thing queued on the
//   logging queue and has not started; otherwise it starts a batch with an item of its own. So
//   a burst of records costs one item (and at most one wake of the logging queue's thread),
//   and every record still reaches the loggers after everything queued before it and before
//   everything queued after it (a flush, a logger's removal, a setting, a synchronous record).
// - Asynchronous records waiting for the loggers are bounded in memory: at most
//   maximumQueuedBytes() (32 MiB by default), counted as one record pool block per record plus its
//   message and format texts, from the call until the batch that holds the record has been
//   delivered. A caller whose record would go beyond waits until the loggers have delivered
//   enough: a burst faster than the loggers slows its callers down instead of losing lines.
//   Loggers that deliver nothing for stallTimeout() (1 s by default) are taken to be stuck: the
//   waiting records are dropped and counted, and until the loggers deliver again every record
//   beyond the bound is dropped at once, so a stuck logger holds an asynchronous caller at most
//   that long and never grows the process without limit. The first record admitted again is
//   preceded by one warning record saying how many were dropped. Code running on the logging
//   pipeline itself (a logger logging from its own queue) never waits: the loggers would be
//   waiting for it. Synchronous calls are never dropped: their caller waits anyway.
// - Contract violations (an lt_ operation off the logging queue, flushLog on it) are reported on
//   the diagnostic channel with their fixed texts and the call is then refused: it does nothing
//   (a listing returns an empty list). The process goes on.
// - The shared instance is created on first use and never destroyed, so that code logging while
//   the process exits never meets a dead dispatcher. Creating it installs a process-exit handler
//   that holds it weakly and flushes every logger (loggers are not removed).
//
// Operations acting on the shared instance are static members with a `shared` prefix
// (sharedAddLogger, sharedFlushLog...), as C++ cannot overload a static and an instance member
// on the same arguments.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "logging/DDFormatArgument.h"
#include "logging/DDLogLevel.h"
#include "logging/DDLogMessage.h"
#include "logging/DDLogger.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"

// A component with a log level of its own: a name and the two level operations. It counts as
// registered for dynamic levels only when it offers both.
struct DDLogComponent {
  std::string name;
  std::function<DDLogLevel()> ddLogLevel;
  std::function<void(DDLogLevel)> ddSetLogLevel;

  bool offersBoth() const { return ddLogLevel && ddSetLogLevel; }

  // A component from a class's static `ddLogLevel()` and `ddSetLogLevel(DDLogLevel)`, taking
  // whichever of the two the class has.
  template <class T>
  static DDLogComponent of(std::string name) {
    DDLogComponent c{std::move(name), {}, {}};
    if constexpr (requires { DDLogLevel(T::ddLogLevel()); }) {
      c.ddLogLevel = [] { return DDLogLevel(T::ddLogLevel()); };
    }
    if constexpr (requires(DDLogLevel l) { T::ddSetLogLevel(l); }) {
      c.ddSetLogLevel = [](DDLogLevel l) { T::ddSetLogLevel(l); };
    }
    return c;
  }
};

template <class T>
concept DDLogLevelClass = requires(DDLogLevel l) {
  { T::ddLogLevel() } -> std::convertible_to<DDLogLevel>;
  T::ddSetLogLevel(l);
};

class DDLog : public std::enable_shared_from_this<DDLog> {
 public:
  // ---- Process-wide state -------------------------------------------------------------------
  static const std::shared_ptr<DDLog>& sharedInstance();
  static const platform::dispatch::QueuePtr& loggingQueue();
  static platform::dispatch::Group& loggingGroup();
  // True when the calling code runs on the global logging queue (its identity key is visible).
  static bool isOnLoggingQueue();
  // The machine's processor count, taken once; 1 when the system reports 0.
  static unsigned machineProcessorCount();

  static constexpr std::size_t kDefaultMaximumQueuedBytes = 32 * 1024 * 1024;
  static constexpr std::chrono::milliseconds kDefaultStallTimeout{1000};

  explicit DDLog(unsigned processorCount = machineProcessorCount(),
                 std::size_t maximumQueuedBytes = kDefaultMaximumQueuedBytes,
                 std::chrono::milliseconds stallTimeout = kDefaultStallTimeout);
  ~DDLog();
  DDLog(const DDLog&) = delete;
  DDLog& operator=(const DDLog&) = delete;

  // ---- For the crash handler (DDCrashFlush.h) -----------------------------------------------
  // Runs flushLog() on every dispatcher alive in the process.
  static void flushEveryDispatcher();
  // Grows each time the global logging queue has delivered a record or finished a flush.
  // Async-signal-safe.
  static std::uint64_t deliveryProgress() noexcept;
  // True on a thread that runs a dispatcher's fan-out or flush, or a logger's part of them.
  // Async-signal-safe.
  static bool isOnLoggingPipeline() noexcept;

  unsigned processorCount() const { return processorCount_; }
  std::size_t maximumQueuedBytes() const { return maximumQueuedBytes_; }
  std::chrono::milliseconds stallTimeout() const { return stallTimeout_; }

  // ---- Instance operations ------------------------------------------------------------------
  // Registers `logger` (asynchronous). A null logger is ignored.
  void addLogger(DDLoggerPtr logger, DDLogLevel level = DDLogLevel::all);
  // Unregisters the first registration of `logger` (asynchronous). A null logger is ignored.
  void removeLogger(DDLoggerPtr logger);
  void removeAllLoggers();
  // Registered loggers in registration order (synchronous). On the logging queue itself these
  // read the list inline instead of waiting for themselves.
  std::vector<DDLoggerPtr> allLoggers();
  std::vector<DDLoggerInformation> allLoggersWithLevel();

  // Builds a record from a printf-style format and its arguments (captured by type, see
  // DDStringFormat.h) and queues it. A null format is ignored.
  template <class... Args>
  void log(bool asynchronous, DDLogLevel level, DDLogFlag flag, std::int64_t context,
           const char* file, const char* function, std::uint64_t line, DDLogObjectPtr tag,
           const char* format, const Args&... args) {
    const std::array<DDFormatArgument, sizeof...(Args)> argv{ddFormatArgument(args)...};
    logWithArgs(asynchronous, level, flag, context, file, function, line, std::move(tag), format,
                argv);
  }
  void logWithArgs(bool asynchronous, DDLogLevel level, DDLogFlag flag, std::int64_t context,
                   const char* file, const char* function, std::uint64_t line, DDLogObjectPtr tag,
                   const char* format, std::span<const DDFormatArgument> args);
  // Queues a finished record; what the front end uses. A null record is ignored.
  void log(bool asynchronous, DDLogMessagePtr message);
  // Waits until every record queued before it is delivered and every logger that offers flush
  // has flushed. Must not be called on the logging queue.
  void flushLog();
  void applicationWillTerminate();
  // Asynchronous: queue and return. Synchronous on the logging queue: run inline. Synchronous
  // elsewhere: queue and wait until every admitting logger has handled the record.
  void queueLogMessage(DDLogMessagePtr message, bool asynchronously);

  // ---- Records as a stream (DDLogPublisher.h) ----------------------------------------------
  class MessagePublisher;
  class Subscription;
  // A publisher of this dispatcher's records admitted by `level`.
  std::shared_ptr<MessagePublisher> messagePublisher(DDLogLevel level = DDLogLevel::all);

  // ---- Operations of the logging queue (public so that their guard can be exercised) --------
  void lt_addLogger(DDLoggerPtr logger, DDLogLevel level);
  void lt_removeLogger(const DDLoggerPtr& logger);
  void lt_removeAllLoggers();
  std::vector<DDLoggerPtr> lt_allLoggers();
  std::vector<DDLoggerInformation> lt_allLoggersWithLevel();
  void lt_log(const DDLogMessagePtr& message);
  void lt_flush();

  // ---- The same, on the shared instance -----------------------------------------------------
  static void sharedAddLogger(DDLoggerPtr logger, DDLogLevel level = DDLogLevel::all) {
    sharedInstance()->addLogger(std::move(logger), level);
  }
  static void sharedRemoveLogger(DDLoggerPtr logger) {
    sharedInstance()->removeLogger(std::move(logger));
  }
  static void sharedRemoveAllLoggers() { sharedInstance()->removeAllLoggers(); }
  static std::vector<DDLoggerPtr> sharedAllLoggers() { return sharedInstance()->allLoggers(); }
  static std::vector<DDLoggerInformation> sharedAllLoggersWithLevel() {
    return sharedInstance()->allLoggersWithLevel();
  }
  template <class... Args>
  static void sharedLog(bool asynchronous, DDLogLevel level, DDLogFlag flag, std::int64_t context,
                        const char* file, const char* function, std::uint64_t line,
                        DDLogObjectPtr tag, const char* format, const Args&... args) {
    sharedInstance()->log(asynchronous, level, flag, context, file, function, line, std::move(tag),
                          format, args...);
  }
  static void sharedLogWithArgs(bool asynchronous, DDLogLevel level, DDLogFlag flag,
                                std::int64_t context, const char* file, const char* function,
                                std::uint64_t line, DDLogObjectPtr tag, const char* format,
                                std::span<const DDFormatArgument> args) {
    sharedInstance()->logWithArgs(asynchronous, level, flag, context, file, function, line,
                                  std::move(tag), format, args);
  }
  static void sharedLog(bool asynchronous, DDLogMessagePtr message) {
    sharedInstance()->log(asynchronous, std::move(message));
  }
  static void sharedFlushLog() { sharedInstance()->flushLog(); }

  // ---- Components with a level of their own (class-level only) ------------------------------
  // Adds a component to the registry, replacing one of the same name.
  static void registerComponent(DDLogComponent component);
  static void registerComponent(std::string name, std::function<DDLogLevel()> getter,
                                std::function<void(DDLogLevel)> setter) {
    registerComponent(DDLogComponent{std::move(name), std::move(getter), std::move(setter)});
  }
  template <class T>
  static void registerClass(std::string name) {
    registerComponent(DDLogComponent::of<T>(std::move(name)));
  }
  // Registered: offers both level operations.
  static bool isRegisteredClass(const DDLogComponent& component) { return component.offersBoth(); }
  template <class T>
  static constexpr bool isRegisteredClass() {
    return DDLogLevelClass<T>;
  }
  // The registry's components that are registered, in registration order, and their names.
  static std::vector<DDLogComponent> registeredClasses();
  static std::vector<std::string> registeredClassNames();
  // The component's level; "all" when it is not registered (or no component has the name).
  static DDLogLevel levelForClass(const DDLogComponent& component);
  template <class T>
  static DDLogLevel levelForClass() {
    if constexpr (DDLogLevelClass<T>) {
      return DDLogLevel(T::ddLogLevel());
    } else {
      return DDLogLevel::all;
    }
  }
  static DDLogLevel levelForClassWithName(std::string_view name);
  // Sets the level of a registered component; anything else is ignored.
  static void setLevelForClass(DDLogLevel level, const DDLogComponent& component);
  template <class T>
  static void setLevelForClass(DDLogLevel level) {
    if constexpr (DDLogLevelClass<T>) T::ddSetLogLevel(level);
  }
  static void setLevelForClassWithName(DDLogLevel level, std::string_view name);

 private:
  // What an asynchronous record counts against the bound while it waits.
  static std::size_t queuedCost(const DDLogMessage& message);
  // Appends an asynchronous record to the open batch or starts one; at the bound it waits for
  // the loggers, or drops the record when they are stuck.
  void appendToBatch(DDLogMessagePtr message);
  // Waits, holding `lock` on batches_.mutex, until `cost` fits within the bound or the loggers
  // count as stuck. True when it fits.
  bool waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t cost);
  struct Batch;
  // The logging queue's item for one batch.
  void lt_deliverBatch(std::unique_ptr<Batch> batch);

  const unsigned processorCount_;
  const std::size_t maximumQueuedBytes_;
  const std::chrono::milliseconds stallTimeout_;
  bool immortal_ = false;  // the shared instance, which is never destroyed
  // Read and changed only on the global logging queue.
  std::vector<DDLoggerNode> _loggers;

  // The batch still open to records and the bound's accounting, on a cache line of their own:
  // callers change them for every record, the logging queue once per batch.
  struct alignas(64) Batches {
    std::mutex mutex;
    Batch* open = nullptr;             // owned by its queued item, which closes it when it runs
    const void* openItem = nullptr;    // that item's identity on the logging queue
    std::unique_ptr<Batch> spare;      // a delivered batch kept for its storage
    std::size_t queuedBytes = 0;       // records not yet delivered
    std::uint64_t droppedRecords = 0;  // since the last record admitted
    std::uint64_t deliveredBatches = 0;
    bool stalled = false;  // nothing delivered within the stall time-out; cleared by a delivery
    int waiting = 0;       // callers waiting for room
    std::condition_variable delivered;
  };
  Batches batches_;
};

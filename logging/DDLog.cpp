#include "logging/DDLog.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/TrackedItem.h"

namespace {

constexpr const char* kMustBeOnLoggingQueue =
    "This method must be called on the logging thread/queue!";
constexpr const char* kMustNotBeOnLoggingQueue =
    "This method must not be called on the logging thread/queue!";

// Process-wide objects are built on first use and never destroyed, so that logging during
// process exit (from static destructors or other threads) never meets a destroyed dispatcher.
using platform::base::NoDestructor;

// The queue-identity key: its address marks the global logging queue.
const char kQueueIdentityKey = 0;

struct ComponentRegistry {
  std::mutex mutex;
  std::vector<DDLogComponent> components;
};

ComponentRegistry& registry() {
  static NoDestructor<ComponentRegistry> r;
  return *r;
}

std::weak_ptr<DDLog>& exitFlushTarget() {
  static NoDestructor<std::weak_ptr<DDLog>> target;
  return *target;
}

// Process-exit handler: pending records reach every logger even when nobody called flushLog.
void flushAtExit() {
  if (auto log = exitFlushTarget().lock()) log->applicationWillTerminate();
}

// Every dispatcher alive, for the crash handler's flush. Only construction, destruction and
// that flush touch it.
struct DispatcherRegistry {
  std::mutex mutex;
  std::vector<DDLog*> dispatchers;
};

DispatcherRegistry& dispatchers() {
  static NoDestructor<DispatcherRegistry> r;
  return *r;
}

// Written only on the global logging queue, which is serial: a plain load and store suffice.
constinit std::atomic<std::uint64_t> gDeliveryProgress{0};

void advanceDeliveryProgress() {
  gDeliveryProgress.store(gDeliveryProgress.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
}

// Depth of dispatcher work (fan-out, flush, a logger's part of them) on this thread.
thread_local constinit int tPipelineDepth = 0;

struct PipelineScope {
  PipelineScope() noexcept { ++tPipelineDepth; }
  ~PipelineScope() { --tPipelineDepth; }
  PipelineScope(const PipelineScope&) = delete;
  PipelineScope& operator=(const PipelineScope&) = delete;
};

}  // namespace

// ---- Process-wide state ----------------------------------------------------------------------

const platform::dispatch::QueuePtr& DDLog::loggingQueue() {
  static NoDestructor<platform::dispatch::QueuePtr> queue([] {
    auto q = platform::dispatch::Queue::makeSerial("orvel.quillmark");
    q->setSpecific(&kQueueIdentityKey, const_cast<char*>(&kQueueIdentityKey));
    return q;
  }());
  return *queue;
}

platform::dispatch::Group& DDLog::loggingGroup() {
  static NoDestructor<platform::dispatch::Group> group;
  return *group;
}

bool DDLog::isOnLoggingQueue() {
  // The identity key marks the global logging queue alone: comparing the queue is the same
  // question without the lookup's lock, which every record passes several times.
  const platform::dispatch::Queue* current = platform::dispatch::Queue::current();
  return current != nullptr && current == loggingQueue().get();
}

unsigned DDLog::machineProcessorCount() {
  static const unsigned count = [] {
    const unsigned n = platform::dispatch::processorCount();
    return n == 0 ? 1u : n;
  }();
  return count;
}

const std::shared_ptr<DDLog>& DDLog::sharedInstance() {
  static NoDestructor<std::shared_ptr<DDLog>> instance([] {
    // The queue and group first: the exit handler registered below then runs before anything
    // they depend on is torn down.
    loggingQueue();
    loggingGroup();
    auto log = std::make_shared<DDLog>(machineProcessorCount());
    log->immortal_ = true;
    exitFlushTarget() = log;
    std::atexit(&flushAtExit);
    return log;
  }());
  return *instance;
}

DDLog::DDLog(unsigned processorCount, std::size_t maximumQueuedBytes,
             std::chrono::milliseconds stallTimeout)
    : processorCount_(processorCount == 0 ? 1 : processorCount),
      maximumQueuedBytes_(maximumQueuedBytes),
      stallTimeout_(stallTimeout) {
  _loggers.reserve(4);
  auto& r = dispatchers();
  std::lock_guard lock(r.mutex);
  r.dispatchers.push_back(this);
}

DDLog::~DDLog() {
  auto& r = dispatchers();
  std::lock_guard lock(r.mutex);
  std::erase(r.dispatchers, this);
}

void DDLog::flushEveryDispatcher() {
  // Strong references taken under the lock: a dispatcher whose destruction has begun is
  // skipped, and none is destroyed while its flush runs. The flushes themselves run without
  // the lock, since the last reference to a dispatcher may be released on the logging queue.
  std::vector<std::shared_ptr<DDLog>> alive;
  {
    auto& r = dispatchers();
    std::lock_guard lock(r.mutex);
    for (DDLog* log : r.dispatchers) {
      if (auto strong = log->weak_from_this().lock()) alive.push_back(std::move(strong));
    }
  }
  for (const auto& log : alive)
    log->flushLog();
}

std::uint64_t DDLog::deliveryProgress() noexcept {
  return gDeliveryProgress.load(std::memory_order_relaxed);
}

bool DDLog::isOnLoggingPipeline() noexcept {
  return tPipelineDepth > 0;
}

// ---- Instance operations ---------------------------------------------------------------------

void DDLog::addLogger(DDLoggerPtr logger, DDLogLevel level) {
  if (!logger) return;
  loggingQueue()->async([self = shared_from_this(), logger = std::move(logger), level]() mutable {
    self->lt_addLogger(std::move(logger), level);
  });
}

void DDLog::removeLogger(DDLoggerPtr logger) {
  if (!logger) return;
  loggingQueue()->async(
      [self = shared_from_this(), logger = std::move(logger)] { self->lt_removeLogger(logger); });
}

void DDLog::removeAllLoggers() {
  loggingQueue()->async([self = shared_from_this()] { self->lt_removeAllLoggers(); });
}

std::vector<DDLoggerPtr> DDLog::allLoggers() {
  if (isOnLoggingQueue()) return lt_allLoggers();
  std::vector<DDLoggerPtr> result;
  loggingQueue()->sync([&] { result = lt_allLoggers(); });
  return result;
}

std::vector<DDLoggerInformation> DDLog::allLoggersWithLevel() {
  if (isOnLoggingQueue()) return lt_allLoggersWithLevel();
  std::vector<DDLoggerInformation> result;
  loggingQueue()->sync([&] { result = lt_allLoggersWithLevel(); });
  return result;
}

void DDLog::logWithArgs(bool asynchronous, DDLogLevel level, DDLogFlag flag, std::int64_t context,
                        const char* file, const char* function, std::uint64_t line,
                        DDLogObjectPtr tag, const char* format,
                        std::span<const DDFormatArgument> args) {
  if (format == nullptr) return;
  // The texts become the record's own strings: these pointers need not outlive the call.
  auto message = DDLogMessage::create(DDLogText(std::string(format)), args, level, flag, context,
                                      DDLogText(std::string(file ? file : "")),
                                      function ? DDLogText(std::string(function)) : DDLogText(),
                                      line, std::move(tag), 0, std::nullopt);
  queueLogMessage(std::move(message), asynchronous);
}

void DDLog::log(bool asynchronous, DDLogMessagePtr message) {
  queueLogMessage(std::move(message), asynchronous);
}

void DDLog::queueLogMessage(DDLogMessagePtr message, bool asynchronously) {
  if (!message) return;
  if (asynchronously) {
    appendToBatch(std::move(message));
  } else if (isOnLoggingQueue()) {
    lt_log(message);
  } else {
    loggingQueue()->sync([&] { lt_log(message); });
  }
}

std::size_t DDLog::queuedCost(const DDLogMessage& message) {
  return dd_detail::kRecordBlockSize + message.message().size() + message.messageFormat().size();
}

struct DDLog::Batch {
  std::vector<DDLogMessagePtr> records;  // in the order they were appended
  std::size_t bytes = 0;                 // what they count against the bound
};

bool DDLog::waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t cost) {
  auto& b = batches_;
  const auto fits = [&] {
    return cost <= maximumQueuedBytes_ - std::min(b.queuedBytes, maximumQueuedBytes_);
  };
  // A record larger than the whole bound never fits, and the pipeline's own threads would be
  // waiting for themselves.
  if (fits() || b.stalled || cost > maximumQueuedBytes_ || isOnLoggingPipeline() ||
      isOnLoggingQueue())
    return fits();
  ++b.waiting;
  std::uint64_t seen = b.deliveredBatches;
  auto deadline = std::chrono::steady_clock::now() + stallTimeout_;
  while (!fits() && !b.stalled) {
    const bool timedOut = b.delivered.wait_until(lock, deadline) == std::cv_status::timeout;
    if (b.deliveredBatches != seen) {
      // The loggers are slow, not stuck: give them the whole time-out again.
      seen = b.deliveredBatches;
      deadline = std::chrono::steady_clock::now() + stallTimeout_;
    } else if (timedOut) {
      b.stalled = true;
    }
  }
  --b.waiting;
  return fits();
}

void DDLog::appendToBatch(DDLogMessagePtr message) {
  const std::size_t cost = queuedCost(*message);
  bool firstDrop = false;
  {
    auto& b = batches_;
    std::unique_lock lock(b.mutex);
    if (!waitForRoom(lock, cost)) {
      firstDrop = b.droppedRecords++ == 0;
    } else {
      const auto& queue = *loggingQueue();
      std::unique_ptr<Batch> fresh;
      if (b.open == nullptr || !platform::dispatch::isLastQueued(queue, b.openItem)) {
        fresh = b.spare ? std::move(b.spare) : std::make_unique<Batch>();
        b.open = fresh.get();
      }
      if (b.droppedRecords != 0) {
        // Not counted against the bound: it stands for records that were not queued.
        std::string text = "DDLog: " + std::to_string(b.droppedRecords) +
                           " records were dropped while the logging queue was full";
        b.droppedRecords = 0;
        b.open->records.push_back(DDLogMessage::create(
            DDLogText(std::move(text)), DDLogLevel::all, DDLogFlag::warning, 0, DDLogText(__FILE__),
            DDLogText("queueLogMessage"), __LINE__, nullptr, 0, std::nullopt));
      }
      b.open->records.push_back(std::move(message));
      b.open->bytes += cost;
      b.queuedBytes += cost;
      if (fresh) {
        // Queued under the lock, so that no record can join this batch before its item is the
        // one checked. The shared instance is never destroyed: its items need no reference.
        std::shared_ptr<DDLog> keepAlive = immortal_ ? nullptr : shared_from_this();
        const std::size_t bytes = fresh->bytes;
        try {
          b.openItem = platform::dispatch::asyncTracked(
              *loggingQueue(),
              [self = this, keepAlive = std::move(keepAlive), batch = std::move(fresh)]() mutable {
                self->lt_deliverBatch(std::move(batch));
              });
        } catch (...) {
          // Out of memory for the item: the batch went with it, and this call fails as a whole.
          b.open = nullptr;
          b.queuedBytes -= bytes;
          throw;
        }
      }
    }
  }
  if (firstDrop) {
    platform::diagnostics::report(
        "DDLog: the logging queue is full; records are dropped until the loggers catch up");
  }
}

void DDLog::lt_deliverBatch(std::unique_ptr<Batch> batch) {
  PipelineScope pipeline;
  {
    std::lock_guard lock(batches_.mutex);
    if (batches_.open == batch.get()) batches_.open = nullptr;  // later records start another
  }
  // The batch is this item's alone from here on. Its records count against the bound until
  // they are delivered, whatever happens here; then it is kept for its storage.
  struct Release {
    DDLog& log;
    std::unique_ptr<Batch>& batch;
    ~Release() {
      batch->records.clear();
      std::lock_guard lock(log.batches_.mutex);
      log.batches_.queuedBytes -= batch->bytes;
      batch->bytes = 0;
      ++log.batches_.deliveredBatches;
      log.batches_.stalled = false;
      if (log.batches_.waiting != 0) log.batches_.delivered.notify_all();
      if (!log.batches_.spare) log.batches_.spare = std::move(batch);
    }
  } release{*this, batch};
  auto& records = batch->records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    // The next record was written on the calling thread's core: its lines are asked for now, so
    // that they arrive while this one is delivered instead of one miss at a time after it.
    if (i + 1 < records.size()) {
      const auto* next = reinterpret_cast<const char*>(records[i + 1].get());
      for (std::size_t off = 0; off < sizeof(DDLogMessage); off += 64)
        __builtin_prefetch(next + off);
    }
    lt_log(records[i]);
    records[i].reset();  // back to the record pool while this thread still has its block warm
  }
}

void DDLog::flushLog() {
  if (isOnLoggingQueue()) {
    platform::diagnostics::contractViolation(kMustNotBeOnLoggingQueue);
    return;
  }
  loggingQueue()->sync([&] { lt_flush(); });
}

void DDLog::applicationWillTerminate() {
  flushLog();
}

// ---- Operations of the logging queue ---------------------------------------------------------

#define DD_REQUIRE_LOGGING_QUEUE(...)                                  \
  do {                                                                 \
    if (!isOnLoggingQueue()) {                                         \
      platform::diagnostics::contractViolation(kMustBeOnLoggingQueue); \
      return __VA_ARGS__;                                              \
    }                                                                  \
  } while (0)

void DDLog::lt_addLogger(DDLoggerPtr logger, DDLogLevel level) {
  DD_REQUIRE_LOGGING_QUEUE();
  if (!logger) return;
  for (const auto& node : _loggers) {
    if (node.logger == logger && node.level == level) return;
  }
  platform::dispatch::QueuePtr queue;
  if (logger->offers(DDLogger::kLoggerQueue)) queue = logger->loggerQueue();
  if (!queue) {
    queue = platform::dispatch::Queue::makeSerial(
        logger->offers(DDLogger::kLoggerName) ? logger->loggerName() : std::string());
  }
  _loggers.push_back(DDLoggerNode{logger, level, queue});
  // Submitted before any record can be: the hook runs on the logger's queue ahead of them.
  if (logger->offers(DDLogger::kDidAddLoggerInQueue)) {
    queue->async([logger, queue] { logger->didAddLoggerInQueue(queue); });
  } else if (logger->offers(DDLogger::kDidAddLogger)) {
    queue->async([logger] { logger->didAddLogger(); });
  }
}

void DDLog::lt_removeLogger(const DDLoggerPtr& logger) {
  DD_REQUIRE_LOGGING_QUEUE();
  for (auto it = _loggers.begin(); it != _loggers.end(); ++it) {
    if (it->logger != logger) continue;
    if (logger->offers(DDLogger::kWillRemoveLogger)) {
      it->loggerQueue->async([logger] { logger->willRemoveLogger(); });
    }
    _loggers.erase(it);
    return;
  }
}

void DDLog::lt_removeAllLoggers() {
  DD_REQUIRE_LOGGING_QUEUE();
  for (const auto& node : _loggers) {
    if (node.logger->offers(DDLogger::kWillRemoveLogger)) {
      node.loggerQueue->async([logger = node.logger] { logger->willRemoveLogger(); });
    }
  }
  _loggers.clear();
}

std::vector<DDLoggerPtr> DDLog::lt_allLoggers() {
  DD_REQUIRE_LOGGING_QUEUE({});
  std::vector<DDLoggerPtr> result;
  result.reserve(_loggers.size());
  for (const auto& node : _loggers)
    result.push_back(node.logger);
  return result;
}

std::vector<DDLoggerInformation> DDLog::lt_allLoggersWithLevel() {
  DD_REQUIRE_LOGGING_QUEUE({});
  std::vector<DDLoggerInformation> result;
  result.reserve(_loggers.size());
  for (const auto& node : _loggers)
    result.push_back(DDLoggerInformation{node.logger, node.level});
  return result;
}

void DDLog::lt_log(const DDLogMessagePtr& message) {
  DD_REQUIRE_LOGGING_QUEUE();
  PipelineScope pipeline;
  const DDLogFlag flag = message->flag();
  if (processorCount_ < 2) {
    // One processor: drive the loggers one after the other, no group.
    for (const auto& node : _loggers) {
      if (!node.level.admits(flag)) continue;
      node.loggerQueue->sync([&] {
        PipelineScope pipeline;  // a busy queue runs the item on its own thread
        node.logger->logMessage(message);
      });
    }
    advanceDeliveryProgress();
    return;
  }
  // Several processors: the loggers work on the record in parallel. Every admitting logger but
  // the last gets the record asynchronously within the group; the last runs through sync, which
  // runs inline when its queue is idle, saving a thread hop. Then wait for the group: nothing
  // else is taken from this queue until every logger is done with this record.
  const DDLoggerNode* last = nullptr;
  bool grouped = false;
  for (const auto& node : _loggers) {
    if (!node.level.admits(flag)) continue;
    if (last != nullptr) {
      last->loggerQueue->async(loggingGroup(), [logger = last->logger, message] {
        PipelineScope pipeline;
        logger->logMessage(message);
      });
      grouped = true;
    }
    last = &node;
  }
  if (last != nullptr) {
    last->loggerQueue->sync([&] {
      PipelineScope pipeline;
      last->logger->logMessage(message);
    });
    if (grouped) loggingGroup().wait();
  }
  advanceDeliveryProgress();
}

void DDLog::lt_flush() {
  DD_REQUIRE_LOGGING_QUEUE();
  PipelineScope pipeline;
  for (const auto& node : _loggers) {
    if (node.logger->offers(DDLogger::kFlush)) {
      node.loggerQueue->async(loggingGroup(), [logger = node.logger] {
        PipelineScope pipeline;
        logger->flush();
      });
    }
  }
  loggingGroup().wait();
  advanceDeliveryProgress();
}

#undef DD_REQUIRE_LOGGING_QUEUE

// ---- Components with a level of their own ------------------------------------------------------

void DDLog::registerComponent(DDLogComponent component) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  for (auto& c : r.components) {
    if (c.name == component.name) {
      c = std::move(component);
      return;
    }
  }
  r.components.push_back(std::move(component));
}

std::vector<DDLogComponent> DDLog::registeredClasses() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<DDLogComponent> result;
  for (const auto& c : r.components) {
    if (c.offersBoth()) result.push_back(c);
  }
  return result;
}

std::vector<std::string> DDLog::registeredClassNames() {
  std::vector<std::string> names;
  for (auto& c : registeredClasses())
    names.push_back(std::move(c.name));
  return names;
}

DDLogLevel DDLog::levelForClass(const DDLogComponent& component) {
  return component.offersBoth() ? component.ddLogLevel() : DDLogLevel::all;
}

void DDLog::setLevelForClass(DDLogLevel level, const DDLogComponent& component) {
  if (component.offersBoth()) component.ddSetLogLevel(level);
}

namespace {

// Copies the component out so that its operations run without the registry lock held.
std::optional<DDLogComponent> findComponent(std::string_view name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& c : r.components) {
    if (c.name == name) return c;
  }
  return std::nullopt;
}

}  // namespace

DDLogLevel DDLog::levelForClassWithName(std::string_view name) {
  auto c = findComponent(name);
  return c ? levelForClass(*c) : DDLogLevel::all;
}

void DDLog::setLevelForClassWithName(DDLogLevel level, std::string_view name) {
  if (auto c = findComponent(name)) setLevelForClass(level, *c);
}

#include "logging/DDLog.h"

#include <gtest/gtest.h>

#include <map>

#include "LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Semaphore.h"

namespace {

using namespace logtest;
using platform::diagnostics::ScopedCapture;

class DDLogTest : public ::testing::TestWithParam<unsigned> {
 protected:
  std::shared_ptr<DDLog> log = std::make_shared<DDLog>(GetParam());
  void TearDown() override {
    log->removeAllLoggers();
    log->flushLog();
  }
};

INSTANTIATE_TEST_SUITE_P(ProcessorCounts, DDLogTest, ::testing::Values(1u, 2u),
                         [](const auto& info) { return "cpu" + std::to_string(info.param); });

TEST_P(DDLogTest, RegistrationsLevelsAndRemoval) {
  auto l = std::make_shared<RecordingLogger>();
  auto muted = std::make_shared<RecordingLogger>(DDLogger::kWillRemoveLogger);
  auto c = std::make_shared<RecordingLogger>(DDLogger::kWillRemoveLogger);
  log->addLogger(l);
  log->addLogger(l, DDLogLevel::all);  // same logger, same level: one entry
  log->addLogger(l, DDLogLevel::info);
  log->addLogger(nullptr);
  log->addLogger(muted, DDLogLevel::off);
  log->addLogger(c, DDLogLevel::error);
  EXPECT_EQ(log->allLoggers(), (std::vector<DDLoggerPtr>{l, l, muted, c}));
  EXPECT_EQ(log->allLoggersWithLevel()[1].level, DDLogLevel::info);

  log->log(false, record("both"));                   // admitted by both entries of l
  log->log(false, record("one", DDLogFlag::debug));  // only by "all"
  log->log(false, record("none", DDLogFlag(0)));     // flag 0 reaches nobody
  EXPECT_EQ(l->items(), (Texts{"both", "both", "one"}));
  EXPECT_EQ(muted->items().size() + c->items().size(), 0u);

  log->removeLogger(l);  // the earlier entry only
  ASSERT_EQ(log->allLoggersWithLevel().size(), 3u);
  EXPECT_EQ(log->allLoggersWithLevel()[0].level, DDLogLevel::info);
  log->removeLogger(std::make_shared<RecordingLogger>());  // not registered: nothing happens
  log->removeLogger(nullptr);
  log->removeLogger(muted);
  ASSERT_TRUE(eventually([&] { return muted->items().size() == 1; }));
  log->removeAllLoggers();
  EXPECT_TRUE(log->allLoggers().empty());
  ASSERT_TRUE(eventually([&] { return c->items().size() == 1; }));
  log->log(false, record("after", DDLogFlag::error));
  log->flushLog();
  // Each removal hook ran once, and nothing was delivered after removal.
  EXPECT_EQ(muted->items(), Texts{"remove"});
  EXPECT_EQ(c->items(), Texts{"remove"});
  EXPECT_EQ(l->offQueueCalls() + muted->offQueueCalls() + c->offQueueCalls(), 0);
}

TEST_P(DDLogTest, AddHookRunsOnTheLoggerQueueBeforeTheFirstRecord) {
  auto plain = std::make_shared<RecordingLogger>(DDLogger::kDidAddLogger);
  auto inQueue =
      std::make_shared<RecordingLogger>(DDLogger::kDidAddLogger | DDLogger::kDidAddLoggerInQueue);
  log->addLogger(plain);
  log->addLogger(inQueue);
  log->log(true, record("first"));
  log->flushLog();
  EXPECT_EQ(plain->items(), (Texts{"add", "first"}));
  // The queue-taking hook is preferred when both are offered.
  EXPECT_EQ(inQueue->items(), (Texts{"add-in-queue", "first"}));
  EXPECT_EQ(plain->offQueueCalls() + inQueue->offQueueCalls(), 0);
}

TEST_P(DDLogTest, FlushWaitsForEveryQueuedRecordAndEveryFlush) {
  auto slow = std::make_shared<RecordingLogger>(DDLogger::kFlush);
  auto noFlush = std::make_shared<RecordingLogger>();
  slow->delay = 500us;
  log->addLogger(slow);
  log->addLogger(noFlush);
  for (int i = 0; i < 100; ++i)
    log->log(true, record("r" + std::to_string(i)));
  log->flushLog();
  const auto events = slow->items();
  ASSERT_EQ(events.size(), 101u);
  EXPECT_EQ(events[99], "r99");
  EXPECT_EQ(events.back(), "flush");

  // Synchronous logging from the logging queue itself runs inline instead of deadlocking.
  std::size_t seenInside = 0;
  DDLog::loggingQueue()->sync([&] {
    log->log(false, record("inline"));
    seenInside = noFlush->items().size();
  });
  EXPECT_EQ(seenInside, 101u);
}

TEST_P(DDLogTest, EveryLoggerSeesOneOrderWhileOthersComeAndGo) {
  std::vector<std::shared_ptr<RecordingLogger>> loggers;
  for (int i = 0; i < 3; ++i) {
    loggers.push_back(std::make_shared<RecordingLogger>(DDLogger::kFlush));
    log->addLogger(loggers.back());
  }
  constexpr int kThreads = 3, kPerThread = 300;
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        log->log(i % 7 != 0, record(std::to_string(t) + ":" + std::to_string(i)));
        logged.fetch_add(1);
      }
    });
  }
  std::thread churn([&] {
    while (!stop.load()) {
      auto transient = std::make_shared<RecordingLogger>(
          DDLogger::kDidAddLogger | DDLogger::kWillRemoveLogger | DDLogger::kFlush);
      log->addLogger(transient, DDLogLevel::info);
      std::this_thread::yield();
      log->removeLogger(transient);
      // Registration is asynchronous and unbounded: without waiting for the queue, this loop
      // would queue additions faster than the loggers run them, and every synchronous record
      // behind that backlog would wait longer and longer.
      log->allLoggers();
    }
  });
  // Flushes while the others log: each returns only after what was queued before it arrived.
  for (int i = 0; i < 5; ++i) {
    const int before = logged.load();
    log->flushLog();
    EXPECT_GE(static_cast<int>(loggers[0]->messages().size()), before);
  }
  for (auto& p : producers)
    p.join();
  stop = true;
  churn.join();
  log->flushLog();
  EXPECT_EQ(log->allLoggers().size(), 3u);
  const auto first = loggers[0]->messages();
  ASSERT_EQ(first.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (auto& l : loggers) {
    EXPECT_EQ(l->messages(), first);
    EXPECT_EQ(l->offQueueCalls(), 0);
  }
  std::map<int, int> next;  // each producer's records keep their order
  for (auto& e : first) {
    const int t = std::stoi(e.substr(0, e.find(':')));
    EXPECT_EQ(std::stoi(e.substr(e.find(':') + 1)), next[t]++) << e;
  }
}

// Asynchronous records queued in one burst reach the loggers in one item, yet each stays on its
// side of whatever was queued between them.
TEST_P(DDLogTest, RecordsKeepTheirPlaceAgainstWhatIsQueuedBetweenThem) {
  auto l = std::make_shared<RecordingLogger>(DDLogger::kWillRemoveLogger);
  log->addLogger(l);
  platform::dispatch::Semaphore gate;
  DDLog::loggingQueue()->async([&] { gate.wait(); });  // nothing is delivered until the end
  log->log(true, record("a1"));
  log->log(true, record("a2"));
  log->removeLogger(l);
  log->log(true, record("b"));
  log->addLogger(l);
  log->log(true, record("c1"));
  log->log(true, record("c2"));
  gate.signal();
  log->flushLog();
  EXPECT_EQ(l->items(), (Texts{"a1", "a2", "remove", "c1", "c2"}));
}

// A slow logger: a burst far beyond the bound waits for it instead of losing lines, in order,
// and nothing is reported as dropped. A logger that logs from its own queue while the queue is
// full does not wait for itself: its record gets in or is counted as dropped.
TEST_P(DDLogTest, ASlowLoggerSlowsAsynchronousCallersAndLosesNothing) {
  class EchoingLogger : public DDAbstractLogger {
   public:
    explicit EchoingLogger(DDLog& log) : log_(log) {}
    void logMessage(const DDLogMessagePtr& m) override {
      if (m->message() == "r100") log_.log(true, record("echo"));
    }

   private:
    DDLog& log_;
  };
  auto bounded = std::make_shared<DDLog>(GetParam(), 40 * 1024, std::chrono::seconds(30));
  auto slow = std::make_shared<RecordingLogger>();
  slow->delay = std::chrono::microseconds(20);
  bounded->addLogger(slow);
  bounded->addLogger(std::make_shared<EchoingLogger>(*bounded));
  constexpr int kRecords = 3000;  // about 60 times what the bound holds
  ScopedCapture capture;
  for (int i = 0; i < kRecords; ++i)
    bounded->log(true, record("r" + std::to_string(i)));
  bounded->flushLog();
  bounded->flushLog();  // the echo, queued while the first flush ran
  Texts expected, seen, extra;
  for (int i = 0; i < kRecords; ++i)
    expected.push_back("r" + std::to_string(i));
  for (auto& text : slow->messages())
    (text[0] == 'r' ? seen : extra).push_back(std::move(text));
  EXPECT_EQ(seen, expected);
  if (extra == Texts{"echo"}) {
    EXPECT_EQ(capture.texts(), Texts{});
  } else {
    EXPECT_EQ(extra, Texts{"DDLog: 1 records were dropped while the logging queue was full"});
  }
  bounded->removeAllLoggers();
  bounded->flushLog();
}

// A stuck logger: asynchronous callers are held at most the stall time-out, then go on; the
// queue stays within its bound by dropping records, and the loggers hear how many were dropped
// before the next record that got in.
TEST_P(DDLogTest, AStuckLoggerHoldsAsynchronousCallersOnceAndNeverGrowsTheQueue) {
  auto bounded = std::make_shared<DDLog>(GetParam(), 40 * 1024, std::chrono::milliseconds(50));
  auto stuck = std::make_shared<RecordingLogger>();
  bounded->addLogger(stuck);
  platform::dispatch::Semaphore gate;
  stuck->loggerQueue()->async([&] { gate.wait(); });
  constexpr int kRecords = 2000;
  ScopedCapture capture;
  for (int i = 0; i < kRecords; ++i)
    bounded->log(true, record("r" + std::to_string(i)));
  // Everything above returned while the logger was stuck.
  EXPECT_EQ(capture.texts(),
            Texts{"DDLog: the logging queue is full; records are dropped until the loggers "
                  "catch up"});
  gate.signal();
  bounded->flushLog();
  bounded->log(true, record("after"));
  bounded->flushLog();
  const Texts seen = stuck->messages();
  std::size_t kept = 0;
  while (kept < seen.size() && seen[kept] == "r" + std::to_string(kept))
    ++kept;
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, static_cast<std::size_t>(kRecords));
  EXPECT_EQ(Texts(seen.begin() + static_cast<std::ptrdiff_t>(kept), seen.end()),
            (Texts{"DDLog: " + std::to_string(kRecords - kept) +
                       " records were dropped while the logging queue was full",
                   "after"}));
  EXPECT_EQ(stuck->records()[kept]->flag(), DDLogFlag::warning);
  bounded->removeAllLoggers();
  bounded->flushLog();
}

TEST_P(DDLogTest, VariadicFormCopiesItsTextsAndIgnoresANullFormat) {
  auto l = std::make_shared<RecordingLogger>();
  log->addLogger(l);
  std::string file = "/x/y/source.cpp";
  log->log(false, DDLogLevel::info, DDLogFlag::warning, 9, file.c_str(), "fn", 33, nullptr, "%@=%d",
           "n", 5);
  file.assign(file.size(), '#');
  log->log(false, DDLogLevel::info, DDLogFlag::warning, 9, "f", "fn", 33, nullptr, nullptr);
  log->flushLog();
  const auto r = l->records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]->message(), "n=5");
  EXPECT_EQ(r[0]->file(), "/x/y/source.cpp");
}

TEST_P(DDLogTest, LoggerQueuesAreTheLoggersOwnOrNamedAfterIt) {
  // Not derived from the base logger: the dispatcher gives it a queue unless it has its own.
  struct Minimal : public DDLogger {
    Minimal(unsigned offered, platform::dispatch::QueuePtr own) : offered(offered), own(own) {}
    void logMessage(const DDLogMessagePtr&) override {
      label = platform::dispatch::Queue::currentLabel();
    }
    DDLogFormatterPtr logFormatter() override { return nullptr; }
    void setLogFormatter(DDLogFormatterPtr) override {}
    unsigned offeredOperations() const override { return offered; }
    platform::dispatch::QueuePtr loggerQueue() override { return own; }
    std::string loggerName() const override { return "minimal.name"; }
    const unsigned offered;
    const platform::dispatch::QueuePtr own;
    std::string label = "<none>";
  };
  auto named = std::make_shared<Minimal>(DDLogger::kLoggerName, nullptr);
  auto own = std::make_shared<Minimal>(DDLogger::kLoggerQueue | DDLogger::kLoggerName,
                                       platform::dispatch::Queue::makeSerial("own.queue"));
  auto none = std::make_shared<Minimal>(DDLogger::kLoggerQueue, nullptr);  // no queue, no name
  for (auto& m : {named, own, none})
    log->addLogger(m);
  log->log(false, record("x"));
  EXPECT_EQ(named->label, "minimal.name");
  EXPECT_EQ(own->label, "own.queue");
  EXPECT_EQ(none->label, "");
  EXPECT_EQ(std::make_shared<DDAbstractLogger>()->loggerQueue()->label(), "DDAbstractLogger");
}

TEST(DDLogContract, LoggingQueueOperationsAreGuarded) {
  auto log = std::make_shared<DDLog>(2);
  {
    ScopedCapture capture;
    log->lt_addLogger(std::make_shared<RecordingLogger>(), DDLogLevel::all);
    log->lt_log(record("x"));
    EXPECT_TRUE(log->lt_allLoggers().empty());
    log->lt_flush();
    EXPECT_EQ(capture.texts(),
              Texts(4,
                    "Contract violation: This method must be called on the logging "
                    "thread/queue!"));
  }
  EXPECT_TRUE(log->allLoggers().empty());  // the refused add did nothing
  ScopedCapture capture;
  DDLog::loggingQueue()->sync([&] { log->flushLog(); });
  EXPECT_EQ(capture.texts(), Texts{"Contract violation: This method must not be called on the "
                                   "logging thread/queue!"});
  EXPECT_EQ(DDLog(0).processorCount(), 1u);
}

// Suppresses "drop", prefixes everything else, and notes which of its hooks ran where.
class HookFormatter : public DDLogFormatter, public Journal {
 public:
  HookFormatter(unsigned offered, std::string prefix) : offered_(offered), prefix_(prefix) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    if (m.message() == "drop") return std::nullopt;
    return prefix_ + std::string(m.message());
  }
  unsigned offeredOperations() const override { return offered_; }
  void didAddToLogger(DDLogger&) override { add("didAdd"); }
  void didAddToLoggerInQueue(DDLogger& logger, const platform::dispatch::QueuePtr& q) override {
    const bool right = q == logger.loggerQueue() && platform::dispatch::Queue::current() == q.get();
    add(right ? "didAddInQueue" : "didAddInQueue-wrong-queue");
  }
  void willRemoveFromLogger(DDLogger&) override { add("willRemove"); }

 private:
  const unsigned offered_;
  const std::string prefix_;
};

TEST(DDAbstractLogger, FormatterChangesRunTheirHooksOnTheLoggerQueue) {
  auto log = std::make_shared<DDLog>(2);
  auto l = std::make_shared<RecordingLogger>();
  log->addLogger(l);
  auto f1 = std::make_shared<HookFormatter>(DDLogFormatter::kDidAddToLogger |
                                                DDLogFormatter::kDidAddToLoggerInQueue |
                                                DDLogFormatter::kWillRemoveFromLogger,
                                            "1:");
  auto f2 = std::make_shared<HookFormatter>(DDLogFormatter::kDidAddToLogger, "2:");
  l->setLogFormatter(f1);
  EXPECT_EQ(l->logFormatter(), f1);  // the getter waits behind the pending change
  log->log(false, record("a"));
  log->log(false, record("drop"));  // the formatter suppresses it for this logger
  l->setLogFormatter(f1);           // already set: no hook at all
  l->setLogFormatter(f2);
  log->log(false, record("b"));
  l->setLogFormatter(nullptr);
  EXPECT_EQ(l->logFormatter(), nullptr);
  EXPECT_EQ(f1->items(), (Texts{"didAddInQueue", "willRemove"}));
  EXPECT_EQ(f2->items(), Texts{"didAdd"});  // offers no removal hook
  EXPECT_EQ(l->items(), (Texts{"1:a", "2:b"}));
  log->removeAllLoggers();
  log->flushLog();
}

TEST(DDAbstractLogger, FormatterAccessFromTheWrongQueueIsRefused) {
  auto l = std::make_shared<RecordingLogger>();
  auto f = std::make_shared<HookFormatter>(0, "");
  l->setLogFormatter(f);
  ScopedCapture capture;
  for (const auto& queue : {DDLog::loggingQueue(), l->loggerQueue()}) {
    queue->sync([&] {
      EXPECT_EQ(l->logFormatter(), nullptr);
      l->setLogFormatter(nullptr);
    });
  }
  EXPECT_EQ(
      capture.texts(),
      (Texts{"Contract violation: logFormatter must not be called on the global logging queue!",
             "Contract violation: setLogFormatter must not be called on the global logging "
             "queue!",
             "Contract violation: MUST access ivar directly, NOT via self.* syntax.",
             "Contract violation: MUST access ivar directly, NOT via self.* syntax."}));
  EXPECT_EQ(l->logFormatter(), f);  // the refused setters changed nothing
}

struct LevelledComponent {
  static inline DDLogLevel level = DDLogLevel::warning;
  static DDLogLevel ddLogLevel() { return level; }
  static void ddSetLogLevel(DDLogLevel l) { level = l; }
};
struct GetterOnly {
  static DDLogLevel ddLogLevel() { return DDLogLevel::error; }
};

TEST(DDLogComponents, RegistryAndLevels) {
  static_assert(DDLog::isRegisteredClass<LevelledComponent>());
  static_assert(!DDLog::isRegisteredClass<GetterOnly>());
  LevelledComponent::level = DDLogLevel::warning;  // a repeated run starts where the first did
  EXPECT_EQ(DDLog::levelForClass<GetterOnly>(), DDLogLevel::all);
  DDLog::registerClass<LevelledComponent>("LevelledComponent");
  DDLog::registerClass<GetterOnly>("GetterOnly");  // cannot take a level: not registered
  DDLogLevel lambdaLevel = DDLogLevel::info;
  DDLog::registerComponent(
      "Lambda", [&] { return lambdaLevel; }, [&](DDLogLevel l) { lambdaLevel = l; });
  EXPECT_EQ(DDLog::registeredClassNames(), (Texts{"LevelledComponent", "Lambda"}));
  EXPECT_EQ(DDLog::levelForClassWithName("LevelledComponent"), DDLogLevel::warning);
  EXPECT_EQ(DDLog::levelForClassWithName("Nobody"), DDLogLevel::all);
  DDLog::setLevelForClassWithName(DDLogLevel::verbose, "LevelledComponent");
  EXPECT_EQ(LevelledComponent::level, DDLogLevel::verbose);
  DDLog::setLevelForClassWithName(DDLogLevel::off, "Nobody");  // ignored
  DDLog::setLevelForClass<LevelledComponent>(DDLogLevel::debug);
  EXPECT_EQ(DDLog::levelForClass<LevelledComponent>(), DDLogLevel::debug);
  auto classes = DDLog::registeredClasses();
  ASSERT_EQ(classes.size(), 2u);
  DDLog::setLevelForClass(DDLogLevel::error, classes[1]);
  EXPECT_EQ(lambdaLevel, DDLogLevel::error);
  EXPECT_EQ(DDLog::levelForClass(classes[1]), DDLogLevel::error);
  // Re-registering a name replaces the component.
  DDLog::registerComponent(
      "Lambda", [] { return DDLogLevel::off; }, nullptr);
  EXPECT_EQ(DDLog::registeredClassNames(), Texts{"LevelledComponent"});
}

}  // namespace

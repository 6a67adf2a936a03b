#include "logging/DDLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "TestLoggers.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using logtest::eventually;
using logtest::RecordingLogger;
using namespace std::chrono_literals;

DDLogMessagePtr record(std::string text, DDLogFlag flag = DDLogFlag::info) {
  return std::make_shared<const DDLogMessage>(std::move(text), DDLogLevel::all, flag, 0,
                                              "/t/DDLogTests.cpp", "test", 1, nullptr, 0,
                                              std::nullopt);
}

std::vector<std::string> messages(const RecordingLogger& l) {
  std::vector<std::string> out;
  for (auto& e : l.events()) {
    if (e != "add" && e != "add-in-queue" && e != "remove" && e != "flush") out.push_back(e);
  }
  return out;
}

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

TEST_P(DDLogTest, RegistrationsByLoggerAndLevel) {
  auto l = std::make_shared<RecordingLogger>();
  log->addLogger(l);
  log->addLogger(l, DDLogLevel::all);  // same logger, same level: one entry
  log->addLogger(l, DDLogLevel::info);
  log->addLogger(nullptr);
  auto infos = log->allLoggersWithLevel();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].level, DDLogLevel::all);
  EXPECT_EQ(infos[1].level, DDLogLevel::info);

  log->log(false, record("both"));                   // admitted by both entries
  log->log(false, record("one", DDLogFlag::debug));  // only by "all"
  EXPECT_EQ(messages(*l), (std::vector<std::string>{"both", "both", "one"}));

  log->removeLogger(l);  // removes the earlier entry only
  infos = log->allLoggersWithLevel();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].level, DDLogLevel::info);
  log->removeLogger(std::make_shared<RecordingLogger>());  // not registered: nothing happens
  log->removeLogger(nullptr);
  EXPECT_EQ(log->allLoggers().size(), 1u);
  EXPECT_EQ(l->offQueueCalls(), 0);
}

TEST_P(DDLogTest, LevelZeroAndFlagZeroDeliverNothing) {
  auto muted = std::make_shared<RecordingLogger>(0);
  auto open = std::make_shared<RecordingLogger>(0);
  log->addLogger(muted, DDLogLevel::off);
  log->addLogger(open, DDLogLevel::all);
  log->log(false, record("e", DDLogFlag::error));
  log->log(false, record("none", DDLogFlag(0)));
  EXPECT_TRUE(muted->events().empty());
  EXPECT_EQ(open->events(), std::vector<std::string>{"e"});
}

TEST_P(DDLogTest, AddHookRunsOnTheLoggerQueueBeforeTheFirstRecord) {
  auto plain = std::make_shared<RecordingLogger>(DDLogger::kDidAddLogger);
  auto inQueue =
      std::make_shared<RecordingLogger>(DDLogger::kDidAddLogger | DDLogger::kDidAddLoggerInQueue);
  log->addLogger(plain);
  log->addLogger(inQueue);
  log->log(true, record("first"));
  ASSERT_TRUE(eventually([&] { return plain->count() == 2 && inQueue->count() == 2; }));
  EXPECT_EQ(plain->events(), (std::vector<std::string>{"add", "first"}));
  // The queue-taking hook is preferred when both are offered.
  EXPECT_EQ(inQueue->events(), (std::vector<std::string>{"add-in-queue", "first"}));
  EXPECT_EQ(plain->offQueueCalls() + inQueue->offQueueCalls(), 0);
}

TEST_P(DDLogTest, RemovalHooksAndListing) {
  auto a = std::make_shared<RecordingLogger>(DDLogger::kWillRemoveLogger, "a");
  auto b = std::make_shared<RecordingLogger>(0, "b");
  auto c = std::make_shared<RecordingLogger>(DDLogger::kWillRemoveLogger, "c");
  log->addLogger(a);
  log->addLogger(b, DDLogLevel::error);
  log->addLogger(c);
  auto all = log->allLoggers();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], a);
  EXPECT_EQ(all[1], b);
  EXPECT_EQ(all[2], c);
  log->removeLogger(a);
  ASSERT_TRUE(eventually([&] { return a->count() == 1; }));
  EXPECT_EQ(a->events(), std::vector<std::string>{"remove"});
  log->removeAllLoggers();
  EXPECT_TRUE(log->allLoggers().empty());
  ASSERT_TRUE(eventually([&] { return c->count() == 1; }));
  EXPECT_EQ(c->events(), std::vector<std::string>{"remove"});
  EXPECT_EQ(a->count(), 1u);  // not called twice
  EXPECT_TRUE(b->events().empty());
  log->log(false, record("after"));
  EXPECT_EQ(a->count() + b->count() + c->count(), 2u);
}

TEST_P(DDLogTest, FlushWaitsForEveryQueuedRecordAndEveryFlush) {
  auto slow = std::make_shared<RecordingLogger>(DDLogger::kFlush);
  auto noFlush = std::make_shared<RecordingLogger>(0);
  slow->setDelay(500us);
  log->addLogger(slow);
  log->addLogger(noFlush);
  for (int i = 0; i < 100; ++i)
    log->log(true, record("r" + std::to_string(i)));
  log->flushLog();
  auto events = slow->events();
  ASSERT_EQ(events.size(), 101u);
  EXPECT_EQ(events.back(), "flush");
  EXPECT_EQ(events[99], "r99");
  EXPECT_EQ(noFlush->count(), 100u);
}

TEST_P(DDLogTest, SynchronousLogOnTheLoggingQueueRunsInline) {
  auto l = std::make_shared<RecordingLogger>(0);
  log->addLogger(l);
  std::size_t seenInside = 0;
  DDLog::loggingQueue()->sync([&] {
    log->log(false, record("inline"));
    seenInside = l->count();  // delivered before log() returned, without waiting for itself
    EXPECT_EQ(log->allLoggers().size(), 1u);  // listing inline too
  });
  EXPECT_EQ(seenInside, 1u);
}

TEST_P(DDLogTest, EveryLoggerSeesOneOrder) {
  std::vector<std::shared_ptr<RecordingLogger>> loggers;
  for (int i = 0; i < 3; ++i) {
    loggers.push_back(std::make_shared<RecordingLogger>(0, "order" + std::to_string(i)));
    log->addLogger(loggers.back());
  }
  constexpr int kThreads = 4, kPerThread = 200;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        log->log(i % 7 != 0, record(std::to_string(t) + ":" + std::to_string(i)));
      }
    });
  }
  for (auto& p : producers)
    p.join();
  log->flushLog();
  const auto first = loggers[0]->events();
  ASSERT_EQ(first.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (auto& l : loggers) {
    EXPECT_EQ(l->events(), first);
    EXPECT_EQ(l->offQueueCalls(), 0);
  }
  std::map<int, int> lastSeen;  // each producer's records keep their order
  for (auto& e : first) {
    const int t = std::stoi(e.substr(0, e.find(':')));
    const int i = std::stoi(e.substr(e.find(':') + 1));
    auto it = lastSeen.find(t);
    if (it != lastSeen.end()) {
      EXPECT_EQ(i, it->second + 1);
    }
    lastSeen[t] = i;
  }
}

TEST_P(DDLogTest, LoggingWhileLoggersComeAndGo) {
  auto steady = std::make_shared<RecordingLogger>(DDLogger::kFlush);
  log->addLogger(steady);
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 3; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        log->log(true, record(std::to_string(t)));
        logged.fetch_add(1);
      }
    });
  }
  std::thread churn([&] {
    while (!stop.load()) {
      auto transient = std::make_shared<RecordingLogger>();
      log->addLogger(transient, DDLogLevel::info);
      std::this_thread::yield();
      log->removeLogger(transient);
    }
  });
  // Flushes while the others log: each returns only after what was queued before it arrived.
  for (int i = 0; i < 5; ++i) {
    const int before = logged.load();
    log->flushLog();
    EXPECT_GE(static_cast<int>(messages(*steady).size()), before);
  }
  for (auto& p : producers)
    p.join();
  stop = true;
  churn.join();
  log->flushLog();
  EXPECT_EQ(messages(*steady).size(), 1200u);
  EXPECT_EQ(log->allLoggers().size(), 1u);
  EXPECT_EQ(steady->offQueueCalls(), 0);
}

TEST_P(DDLogTest, VariadicAndArgumentListForms) {
  auto l = std::make_shared<RecordingLogger>(0);
  log->addLogger(l);
  class Capture : public DDAbstractLogger {
   public:
    std::shared_ptr<const DDLogMessage> last;
    void logMessage(const DDLogMessagePtr& m) override { last = m; }
  };
  auto capture = std::make_shared<Capture>();
  log->addLogger(capture);
  std::string file = "/x/y/source.cpp";
  log->log(false, DDLogLevel::info, DDLogFlag::warning, 9, file.c_str(), "fn", 33, nullptr, "%@=%d",
           "n", 5);
  file.assign(file.size(), '#');  // the record has its own copy
  log->log(false, DDLogLevel::info, DDLogFlag::warning, 9, "f", "fn", 33, nullptr, nullptr);
  log->flushLog();
  ASSERT_TRUE(capture->last);
  EXPECT_EQ(capture->last->message(), "n=5");
  EXPECT_EQ(capture->last->messageFormat(), "%@=%d");
  EXPECT_EQ(capture->last->file(), "/x/y/source.cpp");
  EXPECT_EQ(capture->last->function(), "fn");
  EXPECT_EQ(capture->last->context(), 9);
  EXPECT_EQ(capture->last->options(), DDLogMessageOptions::keepMessage);
  EXPECT_EQ(messages(*l), std::vector<std::string>{"n=5"});  // the null format was ignored
}

TEST_P(DDLogTest, LoggerQueuesAreTheLoggersOwnOrNamedAfterIt) {
  class Minimal : public DDLogger {
   public:
    std::string label;
    std::shared_ptr<platform::dispatch::Queue> own;
    unsigned offered = 0;
    void logMessage(const DDLogMessagePtr&) override {
      label = platform::dispatch::Queue::currentLabel();
    }
    DDLogFormatterPtr logFormatter() override { return nullptr; }
    void setLogFormatter(DDLogFormatterPtr) override {}
    unsigned offeredOperations() const override { return offered; }
    platform::dispatch::QueuePtr loggerQueue() override { return own; }
    std::string loggerName() const override { return "minimal.name"; }
  };
  auto named = std::make_shared<Minimal>();
  named->offered = DDLogger::kLoggerName;
  auto ownQueue = std::make_shared<Minimal>();
  ownQueue->offered = DDLogger::kLoggerQueue | DDLogger::kLoggerName;
  ownQueue->own = platform::dispatch::Queue::makeSerial("own.queue");
  auto nullQueue = std::make_shared<Minimal>();
  nullQueue->offered = DDLogger::kLoggerQueue;  // offers a queue but gives none, and no name
  log->addLogger(named);
  log->addLogger(ownQueue);
  log->addLogger(nullQueue);
  log->log(false, record("x"));
  EXPECT_EQ(named->label, "minimal.name");
  EXPECT_EQ(ownQueue->label, "own.queue");
  EXPECT_EQ(nullQueue->label, "");
  auto rec = std::make_shared<RecordingLogger>(0, "abstract.name");
  EXPECT_EQ(rec->loggerQueue()->label(), "abstract.name");
}

TEST(DDLogContract, LoggingQueueOperationsAreGuarded) {
  auto log = std::make_shared<DDLog>(2);
  auto l = std::make_shared<RecordingLogger>(0);
  {
    platform::diagnostics::ScopedCapture capture;
    log->lt_addLogger(l, DDLogLevel::all);
    log->lt_log(record("x"));
    EXPECT_TRUE(log->lt_allLoggers().empty());
    log->lt_flush();
    const auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 4u);
    for (auto& t : texts) {
      EXPECT_EQ(t, "Contract violation: This method must be called on the logging thread/queue!");
    }
  }
  EXPECT_TRUE(log->allLoggers().empty());  // the refused add did nothing
  {
    platform::diagnostics::ScopedCapture capture;
    DDLog::loggingQueue()->sync([&] {
      EXPECT_TRUE(DDLog::isOnLoggingQueue());
      log->flushLog();
    });
    EXPECT_EQ(
        capture.texts(),
        std::vector<std::string>{
            "Contract violation: This method must not be called on the logging thread/queue!"});
  }
  EXPECT_FALSE(DDLog::isOnLoggingQueue());
  EXPECT_EQ(DDLog(0).processorCount(), 1u);
  EXPECT_GE(DDLog::machineProcessorCount(), 1u);
}

// ---- Formatters ---------------------------------------------------------------------------

class HookFormatter : public DDLogFormatter {
 public:
  HookFormatter(unsigned offered, std::string prefix) : offered_(offered), prefix_(prefix) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    if (m.message() == "drop") return std::nullopt;
    return prefix_ + std::string(m.message());
  }
  unsigned offeredOperations() const override { return offered_; }
  void didAddToLogger(DDLogger&) override { add("didAdd"); }
  void didAddToLoggerInQueue(DDLogger& logger, const platform::dispatch::QueuePtr& q) override {
    add(q == logger.loggerQueue() && platform::dispatch::Queue::current() == q.get()
            ? "didAddInQueue"
            : "didAddInQueue-wrong-queue");
  }
  void willRemoveFromLogger(DDLogger&) override { add("willRemove"); }
  std::vector<std::string> hooks() const {
    std::lock_guard lock(m_);
    return hooks_;
  }

 private:
  void add(std::string h) {
    std::lock_guard lock(m_);
    hooks_.push_back(std::move(h));
  }
  const unsigned offered_;
  const std::string prefix_;
  mutable std::mutex m_;
  std::vector<std::string> hooks_;
};

TEST(DDAbstractLogger, FormatterChangesRunTheirHooksOnTheLoggerQueue) {
  auto log = std::make_shared<DDLog>(2);
  auto l = std::make_shared<RecordingLogger>(0);
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
  EXPECT_EQ(l->logFormatter(), f2);
  log->log(false, record("b"));
  l->setLogFormatter(nullptr);
  EXPECT_EQ(l->logFormatter(), nullptr);
  EXPECT_EQ(f1->hooks(), (std::vector<std::string>{"didAddInQueue", "willRemove"}));
  EXPECT_EQ(f2->hooks(), std::vector<std::string>{"didAdd"});  // offers no removal hook
  EXPECT_EQ(l->events(), (std::vector<std::string>{"1:a", "2:b"}));
  log->removeAllLoggers();
  log->flushLog();
}

TEST(DDAbstractLogger, FormatterAccessFromTheWrongQueueIsRefused) {
  auto l = std::make_shared<RecordingLogger>(0);
  auto f = std::make_shared<HookFormatter>(0, "");
  l->setLogFormatter(f);
  platform::diagnostics::ScopedCapture capture;
  DDLog::loggingQueue()->sync([&] {
    EXPECT_TRUE(l->isOnGlobalLoggingQueue());
    EXPECT_EQ(l->logFormatter(), nullptr);
    l->setLogFormatter(nullptr);
  });
  l->loggerQueue()->sync([&] {
    EXPECT_TRUE(l->isOnInternalLoggerQueue());
    EXPECT_FALSE(l->isOnGlobalLoggingQueue());
    EXPECT_EQ(l->logFormatter(), nullptr);
    l->setLogFormatter(nullptr);
  });
  EXPECT_FALSE(l->isOnInternalLoggerQueue());
  EXPECT_EQ(capture.texts(),
            (std::vector<std::string>{
                "Contract violation: logFormatter must not be called on the global logging queue!",
                "Contract violation: setLogFormatter must not be called on the global logging "
                "queue!",
                "Contract violation: MUST access ivar directly, NOT via self.* syntax.",
                "Contract violation: MUST access ivar directly, NOT via self.* syntax."}));
  EXPECT_EQ(l->logFormatter(), f);  // the refused setters changed nothing
}

TEST(DDAbstractLogger, SetQueueAndDefaultName) {
  auto l = std::make_shared<DDAbstractLogger>();
  EXPECT_EQ(l->loggerName(), "DDAbstractLogger");
  EXPECT_EQ(l->loggerQueue()->label(), "DDAbstractLogger");
  auto q = platform::dispatch::Queue::makeSerial("replacement");
  auto old = l->loggerQueue();
  l->setLoggerQueue(q);
  EXPECT_EQ(l->loggerQueue(), q);
  bool onNew = false, onOld = true;
  q->sync([&] { onNew = l->isOnInternalLoggerQueue(); });
  old->sync([&] { onOld = l->isOnInternalLoggerQueue(); });
  EXPECT_TRUE(onNew);
  EXPECT_FALSE(onOld);
}

// ---- Components with their own level ------------------------------------------------------

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
  EXPECT_EQ(DDLog::levelForClass<GetterOnly>(), DDLogLevel::all);

  DDLog::registerClass<LevelledComponent>("LevelledComponent");
  DDLog::registerClass<GetterOnly>("GetterOnly");
  DDLogLevel lambdaLevel = DDLogLevel::info;
  DDLog::registerComponent(
      "Lambda", [&] { return lambdaLevel; }, [&](DDLogLevel l) { lambdaLevel = l; });

  EXPECT_EQ(DDLog::registeredClassNames(),
            (std::vector<std::string>{"LevelledComponent", "Lambda"}));
  EXPECT_EQ(DDLog::levelForClassWithName("LevelledComponent"), DDLogLevel::warning);
  EXPECT_EQ(DDLog::levelForClassWithName("GetterOnly"), DDLogLevel::all);  // not registered
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
  EXPECT_EQ(DDLog::registeredClassNames(), std::vector<std::string>{"LevelledComponent"});
}

}  // namespace

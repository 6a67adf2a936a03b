// Caller cost and throughput of the logging front end and dispatcher, with an asynchronous peer
// logger measured in the same run for comparison.
//
// Queues are unbounded on our side, so the timed loops drain them every kBatch calls with the
// timer paused; otherwise a producer that outruns the loggers would measure memory growth.

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLogFrontEnd.h"

namespace {

constexpr int kBatch = 512;
const std::string kDescription(40, 'd');  // a 40-character %@ argument

class NullLogger : public DDAbstractLogger {
 public:
  void logMessage(const DDLogMessagePtr& message) override { benchmark::DoNotOptimize(message); }
};

// Registers one do-nothing logger with the shared dispatcher, once.
void ensureSharedLogger() {
  static const bool once = [] {
    DDLog::sharedAddLogger(std::make_shared<NullLogger>());
    return true;
  }();
  (void)once;
}

void BM_DDLogInfoAsync(benchmark::State& state) {
  ensureSharedLogger();
  long i = 0;
  for (auto _ : state) {
    DDLogInfo("Accepted new XPC connection: %@ (%li)", kDescription, i);
    if (++i % kBatch == 0) {
      state.PauseTiming();
      if (state.thread_index() == 0) DDLog::sharedFlushLog();
      state.ResumeTiming();
    }
  }
  if (state.thread_index() == 0) DDLog::sharedFlushLog();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DDLogInfoAsync)->Threads(1)->Threads(2)->UseRealTime();

void BM_DDLogTurnedAway(benchmark::State& state) {
  dynamicLogLevel = DDLogLevel::info;
  long i = 0;
  for (auto _ : state) {
    DDLogDebug("never built %@ %li", kDescription, i);
    benchmark::DoNotOptimize(++i);
  }
  resetDynamicLogLevel();
}
BENCHMARK(BM_DDLogTurnedAway);

// One producer, N do-nothing loggers on a dispatcher of their own: records per second from the
// first call until every logger has handled every record.
void BM_DispatcherThroughput(benchmark::State& state) {
  auto log = std::make_shared<DDLog>();
  for (int n = 0; n < state.range(0); ++n)
    log->addLogger(std::make_shared<NullLogger>());
  log->flushLog();
  constexpr int kRecords = 20000;
  for (auto _ : state) {
    for (int i = 0; i < kRecords; ++i) {
      _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log,
                    "Accepted new XPC connection: %@ (%li)", kDescription, static_cast<long>(i));
    }
    log->flushLog();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  log->removeAllLoggers();
  log->flushLog();
}
BENCHMARK(BM_DispatcherThroughput)->Arg(1)->Arg(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- The peer: an asynchronous logger into a sink that does nothing ----------------------------

class NullSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override { benchmark::DoNotOptimize(msg); }
  void flush_() override {}
};

std::shared_ptr<spdlog::logger> peerLogger() {
  static std::shared_ptr<spdlog::logger> logger = [] {
    spdlog::init_thread_pool(kBatch * 2, 1);
    return spdlog::create_async<NullSink>("peer");
  }();
  return logger;
}

void drainPeer() {
  while (spdlog::thread_pool()->queue_size() != 0)
    std::this_thread::yield();
}

void BM_PeerAsyncInfo(benchmark::State& state) {
  auto logger = peerLogger();
  long i = 0;
  for (auto _ : state) {
    logger->info("Accepted new XPC connection: {} ({})", kDescription, i);
    if (++i % kBatch == 0) {
      state.PauseTiming();
      if (state.thread_index() == 0) drainPeer();
      state.ResumeTiming();
    }
  }
  if (state.thread_index() == 0) drainPeer();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PeerAsyncInfo)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

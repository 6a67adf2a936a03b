// The logging front end against an asynchronous peer logger, same message, same run:
//
// - Caller latency: each call's own cost, timed one by one at a steady rate well below what the
//   loggers drain (so no queue ever fills and nothing waits for a consumer), reported as the
//   50th and 99th percentile in nanoseconds (counters p50_ns, p99_ns).
// - End to end: lines per second from the first call until every line is in a file, through
//   the buffered file logger on our side and the peer's file sink on the other.
// - The cost of a call turned away by the level gate, and the dispatcher's fan-out throughput.

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "logging/DDAbstractLogger.h"
#include "logging/DDBufferedProxy.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/DDLogFrontEnd.h"

namespace {

using bench::ScratchDir;

using Clock = std::chrono::steady_clock;

const std::string kDescription(40, 'd');  // a 40-character %@ argument
constexpr int kPacedCalls = 20000;
constexpr auto kPace = std::chrono::microseconds(20);  // 50,000 calls a second
constexpr int kEndToEndLines = 200000;

class NullLogger : public DDAbstractLogger {
 public:
  void logMessage(const DDLogMessagePtr& message) override { benchmark::DoNotOptimize(message); }
};

// Calls `call(i)` kPacedCalls times, one every kPace, timing each call alone; reports the
// percentiles of those times.
template <class Call>
void pacedLatency(benchmark::State& state, Call&& call) {
  std::vector<std::int64_t> ns;
  ns.reserve(kPacedCalls);
  for (auto _ : state) {
    auto next = Clock::now();
    for (int i = 0; i < kPacedCalls; ++i) {
      next += kPace;
      while (Clock::now() < next) {
      }
      const auto t0 = Clock::now();
      call(static_cast<long>(i));
      ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    }
  }
  std::sort(ns.begin(), ns.end());
  state.counters["p50_ns"] = static_cast<double>(ns[ns.size() / 2]);
  state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
  state.SetItemsProcessed(static_cast<std::int64_t>(ns.size()));
}

void BM_CallerLatency_DDLogInfo(benchmark::State& state) {
  auto log = std::make_shared<DDLog>();
  log->addLogger(std::make_shared<NullLogger>());
  log->flushLog();
  pacedLatency(state, [&](long i) {
    _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log,
                  "Accepted new XPC connection: %@ (%li)", kDescription, i);
  });
  log->flushLog();
  log->removeAllLoggers();
}
BENCHMARK(BM_CallerLatency_DDLogInfo)->Iterations(1)->UseRealTime();

class NullSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override { benchmark::DoNotOptimize(msg); }
  void flush_() override {}
};

std::shared_ptr<spdlog::details::thread_pool> peerPool() {
  static auto pool = std::make_shared<spdlog::details::thread_pool>(1 << 16, 1);
  return pool;
}

void BM_CallerLatency_PeerAsync(benchmark::State& state) {
  auto sink = std::make_shared<NullSink>();
  auto logger = std::make_shared<spdlog::async_logger>("peer-null", sink, peerPool(),
                                                       spdlog::async_overflow_policy::block);
  pacedLatency(state, [&](long i) {
    logger->info("Accepted new XPC connection: {} ({})", kDescription, i);
  });
  logger->flush();
}
BENCHMARK(BM_CallerLatency_PeerAsync)->Iterations(1)->UseRealTime();

// ---- end to end, into a file ---------------------------------------------------------------

// Makes kEndToEndLines calls of `call(i)`, on this thread or shared among `threads` of their own
// (more callers than the machine's two cores: a caller may be preempted anywhere, holding
// whatever it holds).
template <class Call>
void endToEndCalls(int threads, Call&& call) {
  if (threads <= 1) {
    for (int i = 0; i < kEndToEndLines; ++i)
      call(i);
    return;
  }
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = t; i < kEndToEndLines; i += threads)
        call(i);
    });
  }
  for (auto& caller : callers)
    caller.join();
}

// The lines in every file under `dir`.
std::size_t linesIn(const std::string& dir) {
  std::size_t lines = 0;
  std::vector<char> chunk(1 << 16);
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
      lines += static_cast<std::size_t>(std::count(chunk.data(), chunk.data() + in.gcount(), '\n'));
  }
  return lines;
}

void BM_EndToEnd_BufferedFileLogger(benchmark::State& state) {
  ScratchDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(0);
  auto fileLogger = std::make_shared<DDFileLogger>(manager);
  fileLogger->setMaximumFileSize(0);
  fileLogger->setRollingFrequency(0);
  auto log = std::make_shared<DDLog>();
  log->addLogger(fileLogger->wrapWithBuffer());
  log->flushLog();
  std::chrono::duration<double, std::milli> flushing{};
  for (auto _ : state) {
    endToEndCalls(static_cast<int>(state.range(0)), [&](int i) {
      _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log,
                    "Accepted new XPC connection: %@ (%li)", kDescription, static_cast<long>(i));
    });
    const auto callsDone = Clock::now();
    log->flushLog();  // every line is in the file, and the file on storage, when this returns
    flushing += Clock::now() - callsDone;
  }
  state.SetItemsProcessed(state.iterations() * kEndToEndLines);
  // The wait after the last call: the lines still queued, and forcing the file to storage,
  // which the peer's flush does not do.
  state.counters["flush_ms"] =
      benchmark::Counter(flushing.count(), benchmark::Counter::kAvgIterations);
  log->removeAllLoggers();
  log->flushLog();
  // A dispatcher whose loggers fall behind drops records at its bound instead of blocking the
  // caller; lines per second would then count lines that never reached the file.
  const auto expected = static_cast<std::size_t>(state.iterations()) * kEndToEndLines;
  if (const std::size_t lines = linesIn(dir.path()); lines != expected) {
    state.SkipWithError(("the file has " + std::to_string(lines) + " lines, not " +
                         std::to_string(expected) + ": records were dropped")
                            .c_str());
  }
}
BENCHMARK(BM_EndToEnd_BufferedFileLogger)
    ->Arg(1)
    ->Arg(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_EndToEnd_PeerAsyncFile(benchmark::State& state) {
  ScratchDir dir;
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(dir.path() + "/peer.log");
  auto logger = std::make_shared<spdlog::async_logger>("peer-file", sink, peerPool(),
                                                       spdlog::async_overflow_policy::block);
  for (auto _ : state) {
    endToEndCalls(static_cast<int>(state.range(0)), [&](int i) {
      logger->info("Accepted new XPC connection: {} ({})", kDescription, i);
    });
    // The flush is queued behind every line and waits until the sink has written them.
    logger->flush();
    while (peerPool()->queue_size() != 0)
      std::this_thread::yield();
    sink->flush();
  }
  state.SetItemsProcessed(state.iterations() * kEndToEndLines);
}
BENCHMARK(BM_EndToEnd_PeerAsyncFile)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- the gate and the fan-out ------------------------------------------------------------------

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

}  // namespace

BENCHMARK_MAIN();

// Cost per record of the journal logger against the peer's systemd sink, same message, same
// run. Both send one datagram per record to journald's socket; the numbers mean something only
// with a journald listening, so run this through bench/journal_logger_bench.sh, which starts a
// journald of its own in a private mount namespace.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>

#include "logging/DDLogMessage.h"
#include "logging/journal/DDOSLogger.h"

namespace {

const std::string kText = "Received status request from client, connection 0x7f3a2c001234 ok";

void BM_JournalLogger(benchmark::State& state) {
  if (!std::filesystem::exists("/run/systemd/journal/socket")) {
    state.SkipWithError("no journald socket: run bench/journal_logger_bench.sh");
    return;
  }
  auto logger = std::make_shared<DDOSLogger>("com.example.bench", "bench");
  auto record = std::make_shared<DDLogMessage>(DDLogText(kText), DDLogLevel::all, DDLogFlag::info,
                                               0, DDLogText(__FILE__), DDLogText(__func__),
                                               __LINE__, nullptr, 0, std::nullopt);
  logger->loggerQueue()->sync([&] {
    for (auto _ : state)
      logger->logMessage(record);
  });
  state.SetItemsProcessed(state.iterations());
}

void BM_PeerSystemdSink(benchmark::State& state) {
  if (!std::filesystem::exists("/run/systemd/journal/socket")) {
    state.SkipWithError("no journald socket: run bench/journal_logger_bench.sh");
    return;
  }
  auto logger =
      std::make_shared<spdlog::logger>("peer", std::make_shared<spdlog::sinks::systemd_sink_st>());
  logger->set_pattern("%v");
  for (auto _ : state)
    logger->info(kText);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_JournalLogger)->MinTime(1.0);
BENCHMARK(BM_PeerSystemdSink)->MinTime(1.0);

BENCHMARK_MAIN();

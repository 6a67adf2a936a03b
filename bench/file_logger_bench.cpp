// Lines per second written through the file logger, plain and behind its write buffer, against
// the floor measured in the same run: one lseek plus one write of the same line per record,
// which is the least any unbuffered file logger must do.
//
// Every variant writes the same record (the default line format, about 80 bytes) to a fresh
// file in a temporary directory, with size and age rolling off so that the steady-state cost of
// a record is measured, not the occasional fsync of a roll. The file logger runs on its own
// queue as the dispatcher drives it; the dispatcher's own cost is measured elsewhere.
//
// Argument 1 runs a variant with the crash-safe flush installed, to show what it costs a record.
// Installing cannot be undone, so those variants are registered (and run) after all others; a
// variant without it refuses to run once it is installed.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/BenchSupport.h"
#include "logging/DDBufferedProxy.h"
#include "logging/DDCrashFlush.h"
#include "logging/DDFileLogger.h"
#include "logging/DDLogFileFormatterDefault.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/DDLogMessage.h"

namespace {

using bench::ScratchDir;

const std::string kText = "Received status request from client, connection 0x7f3a2c001234 ok";

DDLogMessagePtr benchRecord() {
  return std::make_shared<DDLogMessage>(DDLogText(kText), DDLogLevel::all, DDLogFlag::info, 0,
                                        DDLogText(__FILE__), DDLogText(__func__), __LINE__, nullptr,
                                        0, std::nullopt);
}

void BM_Floor_LseekPlusWrite(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.path() + "/floor.log";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  auto record = benchRecord();
  DDLogFileFormatterDefault formatter;
  const std::string line = *formatter.formatLogMessage(*record) + "\n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(::lseek(fd, 0, SEEK_END));
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}

// False (and the variant skipped) when the process's crash-flush state is not the one asked for.
bool crashFlushAsAsked(benchmark::State& state) {
  if (state.range(0) != 0) {
    if (DDCrashFlush::install()) return true;
    state.SkipWithError("the crash-safe flush could not be installed");
    return false;
  }
  if (!DDCrashFlush::isInstalled()) return true;
  state.SkipWithError("the crash-safe flush is already installed in this process");
  return false;
}

std::shared_ptr<DDFileLogger> benchLogger(const ScratchDir& dir) {
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(0);
  auto logger = std::make_shared<DDFileLogger>(manager);
  logger->setMaximumFileSize(0);
  logger->setRollingFrequency(0);
  logger->maximumFileSize();  // the settings have been applied once this returns
  return logger;
}

void BM_FileLogger(benchmark::State& state) {
  if (!crashFlushAsAsked(state)) return;
  ScratchDir dir;
  auto logger = benchLogger(dir);
  auto record = benchRecord();
  // The whole timed loop runs as one item on the logger's queue, as records arrive there.
  logger->loggerQueue()->sync([&] {
    logger->logMessage(record);  // opens the file outside the measurement
    for (auto _ : state)
      logger->logMessage(record);
  });
  state.SetItemsProcessed(state.iterations());
}

void BM_BufferedFileLogger(benchmark::State& state) {
  if (!crashFlushAsAsked(state)) return;
  ScratchDir dir;
  auto logger = benchLogger(dir);
  auto proxy = logger->wrapWithBuffer();
  auto record = benchRecord();
  logger->loggerQueue()->sync([&] {
    logger->logMessage(record);
    for (auto _ : state)
      proxy->logMessage(record);
    proxy->lt_sendBufferedDataToFileLogger();
  });
  state.SetItemsProcessed(state.iterations());
  state.counters["buffer_bytes"] = static_cast<double>(proxy->maxBufferSizeBytes());
}

}  // namespace

BENCHMARK(BM_Floor_LseekPlusWrite)->MinTime(1.0);
BENCHMARK(BM_FileLogger)->Arg(0)->MinTime(1.0);
BENCHMARK(BM_BufferedFileLogger)->Arg(0)->MinTime(1.0);
BENCHMARK(BM_FileLogger)->Arg(1)->MinTime(1.0);
BENCHMARK(BM_BufferedFileLogger)->Arg(1)->MinTime(1.0);

BENCHMARK_MAIN();

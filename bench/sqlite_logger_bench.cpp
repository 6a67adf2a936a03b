// Records per second into the SQLite logger with its default batching (a commit every 500
// records), against the floor measured in the same run: a bare loop of the same prepared insert
// with one transaction per 500 rows, into the same kind of database (WAL, synchronous=NORMAL).
// The logger runs on its own queue as the dispatcher drives it.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/BenchSupport.h"
#include "logging/DDLogMessage.h"
#include "logging/sqlite/DDSQLiteLogger.h"

namespace {

using bench::ScratchDir;

const std::string kText = "Received status request from client, connection 0x7f3a2c001234 ok";

DDLogMessagePtr benchRecord() {
  return std::make_shared<DDLogMessage>(DDLogText(kText), DDLogLevel::all, DDLogFlag::info, 0,
                                        DDLogText(__FILE__), DDLogText(__func__), __LINE__, nullptr,
                                        0, std::nullopt);
}

void BM_Floor_PreparedInsertsPer500(benchmark::State& state) {
  ScratchDir dir;
  // The logger creates the schema; the floor then writes into it through a connection of its own.
  { DDSQLiteLogger schema(dir.path() + "/floor.sqlite"); }
  sqlite3* db = nullptr;
  sqlite3_open((dir.path() + "/floor.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO logs (time, level, flag, context, file, function, line, thread, "
                     "queue, message) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                     -1, &insert, nullptr);
  auto record = benchRecord();
  long n = 0;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    sqlite3_bind_double(
        insert, 1, std::chrono::duration<double>(record->timestamp().time_since_epoch()).count());
    sqlite3_bind_int64(insert, 2, -1);
    sqlite3_bind_int64(insert, 3, 4);
    sqlite3_bind_int64(insert, 4, 0);
    sqlite3_bind_text(insert, 5, record->file().data(), static_cast<int>(record->file().size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 6, record->function()->data(),
                      static_cast<int>(record->function()->size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 7, static_cast<sqlite3_int64>(record->line()));
    sqlite3_bind_text(insert, 8, record->threadID().data(),
                      static_cast<int>(record->threadID().size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 9, record->queueLabel().data(),
                      static_cast<int>(record->queueLabel().size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 10, record->message().data(),
                      static_cast<int>(record->message().size()), SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if (++n % 500 == 0) {
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLiteLogger(benchmark::State& state) {
  ScratchDir dir;
  auto logger = std::make_shared<DDSQLiteLogger>(dir.path() + "/logger.sqlite");
  auto record = benchRecord();
  // The whole timed loop runs as one item on the logger's queue, as records arrive there.
  logger->loggerQueue()->sync([&] {
    logger->didAddLogger();
    for (auto _ : state)
      logger->logMessage(record);
    logger->willRemoveLogger();
  });
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Floor_PreparedInsertsPer500)->MinTime(1.0);
BENCHMARK(BM_SQLiteLogger)->MinTime(1.0);

BENCHMARK_MAIN();

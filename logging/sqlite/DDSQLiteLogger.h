#pragma once
// A database logger that keeps records in an SQLite database, one row per record:
//
//   CREATE TABLE logs (id INTEGER PRIMARY KEY, time REAL NOT NULL, level INTEGER, flag INTEGER,
//                      context INTEGER, file TEXT, function TEXT, line INTEGER, thread TEXT,
//                      queue TEXT, message TEXT);
//   CREATE INDEX logs_time ON logs(time);
//
// `time` is seconds since 1970 (UTC) with microseconds; `level` and `flag` are the unsigned
// 64-bit masks stored with the same bits as a signed integer (so "all" reads back as -1);
// `function` is NULL when the record has none.
//
// The database runs in WAL mode with synchronous=NORMAL: a saved batch survives a crash of the
// process at any point; records stored since the last save are lost with it. Each record is one
// prepared insert inside the pending transaction, which the base's save commits (by default
// every 500 records or a minute after the first pending one, on flush and on removal).
// Deletion removes rows older than the maximum age, through the index on time.
//
// Several processes may log into one database: a writer waits up to five seconds for another's
// lock. Failures (the file cannot be opened, a disk is full) are reported on the diagnostic
// channel, once per kind until the next success; the records concerned are dropped and the
// logger goes on. All database work runs on the logger queue.

#include <memory>
#include <string>
#include <string_view>

#include "logging/DDAbstractDatabaseLogger.h"

struct sqlite3;
struct sqlite3_stmt;

class DDSQLiteLogger : public DDAbstractDatabaseLogger {
 public:
  static constexpr std::string_view kLoggerName = "orvel.quillmark.sqliteLogger";

  // Opens (creating when needed) the database at `path`.
  explicit DDSQLiteLogger(std::string path);
  // Commits what is pending.
  ~DDSQLiteLogger() override;

  std::string loggerName() const override { return std::string(kLoggerName); }
  const std::string& path() const { return path_; }
  // Whether the database could be opened and prepared.
  bool isOpen() const { return db_ != nullptr && insert_ != nullptr; }

 protected:
  bool db_log(const DDLogMessagePtr& message) override;
  void db_save() override;
  void db_delete() override;
  void db_saveAndDelete() override;

 private:
  struct CloseDatabase {
    void operator()(sqlite3* db) const;
  };
  struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Database = std::unique_ptr<sqlite3, CloseDatabase>;
  using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

  bool execute(const char* sql, const char* what);
  void reportFailure(const char* what);
  void commit();
  void deleteOld();

  const std::string path_;
  // Declared before the statements so that they are finalized before it closes.
  Database db_;
  Statement insert_;
  Statement begin_;
  Statement commit_;
  Statement delete_;
  bool inTransaction_ = false;
  bool failing_ = false;  // a failure was reported and nothing has succeeded since
};

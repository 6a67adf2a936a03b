#include "logging/sqlite/DDSQLiteLogger.h"

#include <sqlite3.h>

#include <chrono>

#include "logging/DDLogMessage.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS logs (id INTEGER PRIMARY KEY, time REAL NOT NULL, level INTEGER, "
    "flag INTEGER, context INTEGER, file TEXT, function TEXT, line INTEGER, thread TEXT, "
    "queue TEXT, message TEXT);"
    "CREATE INDEX IF NOT EXISTS logs_time ON logs(time);";

constexpr const char* kInsert =
    "INSERT INTO logs (time, level, flag, context, file, function, line, thread, queue, message) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";

double secondsSince1970(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

void DDSQLiteLogger::CloseDatabase::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void DDSQLiteLogger::FinalizeStatement::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

DDSQLiteLogger::DDSQLiteLogger(std::string path) : path_(std::move(path)) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path_.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);  // closed on every path, also when opening failed
  if (rc != SQLITE_OK) {
    platform::diagnostics::reportf("DDSQLiteLogger: Failed to open database at %s: %s",
                                   path_.c_str(), raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return;
  }
  db_ = std::move(db);
  sqlite3_busy_timeout(db_.get(), 5000);
  if (!execute("PRAGMA journal_mode=WAL", "set WAL mode") ||
      !execute("PRAGMA synchronous=NORMAL", "set synchronous mode") ||
      !execute(kSchema, "create the logs table")) {
    db_.reset();
    return;
  }
  const auto prepare = [this](const char* sql, Statement& out) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
        SQLITE_OK) {
      reportFailure("prepare a statement");
      return false;
    }
    out.reset(s);
    return true;
  };
  if (!prepare(kInsert, insert_) || !prepare("BEGIN IMMEDIATE", begin_) ||
      !prepare("COMMIT", commit_) || !prepare("DELETE FROM logs WHERE time < ?1", delete_)) {
    insert_.reset();
    return;
  }
  failing_ = false;
}

DDSQLiteLogger::~DDSQLiteLogger() {
  // Nothing else can reach the logger now: the pending batch is committed here rather than
  // rolled back when the connection closes.
  commit();
}

bool DDSQLiteLogger::execute(const char* sql, const char* what) {
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  reportFailure(what);
  return false;
}

void DDSQLiteLogger::reportFailure(const char* what) {
  if (failing_) return;
  failing_ = true;
  platform::diagnostics::reportf("DDSQLiteLogger: Failed to %s in %s: %s", what, path_.c_str(),
                                 db_ ? sqlite3_errmsg(db_.get()) : "database not open");
}

bool DDSQLiteLogger::db_log(const DDLogMessagePtr& message) {
  if (!isOpen()) return false;
  if (!inTransaction_) {
    const int rc = sqlite3_step(begin_.get());
    sqlite3_reset(begin_.get());
    if (rc != SQLITE_DONE) {
      reportFailure("begin a transaction");
      return false;
    }
    inTransaction_ = true;
  }
  sqlite3_stmt* s = insert_.get();
  sqlite3_bind_double(s, 1, secondsSince1970(message->timestamp()));
  sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(message->level().rawValue));
  sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(message->flag().rawValue));
  sqlite3_bind_int64(s, 4, message->context());
  bindText(s, 5, message->file());
  if (auto function = message->function()) {
    bindText(s, 6, *function);
  } else {
    sqlite3_bind_null(s, 6);
  }
  sqlite3_bind_int64(s, 7, static_cast<sqlite3_int64>(message->line()));
  bindText(s, 8, message->threadID());
  bindText(s, 9, message->queueLabel());
  bindText(s, 10, message->message());
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc != SQLITE_DONE) {
    reportFailure("store a record");
    return false;
  }
  failing_ = false;
  return true;
}

void DDSQLiteLogger::commit() {
  if (!inTransaction_) return;
  const int rc = sqlite3_step(commit_.get());
  sqlite3_reset(commit_.get());
  if (rc == SQLITE_DONE) {
    inTransaction_ = false;
    failing_ = false;
    return;
  }
  reportFailure("save records");
  // A commit that cannot finish leaves the batch to be rolled back, so that the next record
  // starts a fresh transaction instead of piling onto a broken one.
  if (sqlite3_get_autocommit(db_.get()) == 0) execute("ROLLBACK", "roll back");
  inTransaction_ = false;
}

void DDSQLiteLogger::deleteOld() {
  if (!isOpen()) return;
  const double maxAge = currentMaxAge();
  if (maxAge <= 0) return;
  const double cutoff = secondsSince1970(std::chrono::system_clock::now()) - maxAge;
  sqlite3_bind_double(delete_.get(), 1, cutoff);
  const int rc = sqlite3_step(delete_.get());
  sqlite3_reset(delete_.get());
  if (rc != SQLITE_DONE) reportFailure("delete old records");
}

void DDSQLiteLogger::db_save() {
  commit();
}

void DDSQLiteLogger::db_delete() {
  deleteOld();
}

void DDSQLiteLogger::db_saveAndDelete() {
  deleteOld();
  commit();
}

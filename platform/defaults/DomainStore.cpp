#include "platform/defaults/DomainStore.h"

#include <sqlite3.h>

#include <chrono>
#include <system_error>
#include <thread>
#include <type_traits>
#include <variant>

#include "platform/diagnostics/Diagnostics.h"

namespace platform::defaults {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a write keeps retrying a busy database before it gives up. SQLite's own busy
// handler waits up to kBusyTimeoutMs per attempt; the loop around it covers the cases where
// SQLite returns busy without waiting (a deadlock-avoidance busy on upgrade, WAL recovery).
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kWriteDeadline = std::chrono::seconds(30);
// History kept for observers that are behind: the last kHistoryRows changes, and any change
// younger than kHistorySeconds.
constexpr int kHistoryRows = 1024;
constexpr int kHistorySeconds = 60;
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS kv(
  key TEXT PRIMARY KEY NOT NULL,
  kind INTEGER NOT NULL,
  value
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changes(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  key TEXT NOT NULL,
  old_kind INTEGER,
  old_value,
  new_kind INTEGER,
  new_value,
  at INTEGER NOT NULL
);
CREATE TRIGGER IF NOT EXISTS kv_inserted AFTER INSERT ON kv BEGIN
  INSERT INTO changes(key, old_kind, old_value, new_kind, new_value, at)
  VALUES (new.key, NULL, NULL, new.kind, new.value, CAST(strftime('%s','now') AS INTEGER));
END;
CREATE TRIGGER IF NOT EXISTS kv_updated AFTER UPDATE ON kv BEGIN
  INSERT INTO changes(key, old_kind, old_value, new_kind, new_value, at)
  VALUES (new.key, old.kind, old.value, new.kind, new.value, CAST(strftime('%s','now') AS INTEGER));
END;
CREATE TRIGGER IF NOT EXISTS kv_deleted AFTER DELETE ON kv BEGIN
  INSERT INTO changes(key, old_kind, old_value, new_kind, new_value, at)
  VALUES (old.key, old.kind, old.value, NULL, NULL, CAST(strftime('%s','now') AS INTEGER));
END;
)sql";

bool isBusy(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool isUnreadable(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Binds `value` at `index` with its kind at `index - 1`.
int bindValue(sqlite3_stmt* st, int kindIndex, int valueIndex, const Value& value) {
  int rc = sqlite3_bind_int(st, kindIndex, static_cast<int>(value.kind()));
  if (rc != SQLITE_OK) return rc;
  static const char kEmpty[] = "";
  return std::visit(
      [&](const auto& v) -> int {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return sqlite3_bind_int64(st, valueIndex, v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return sqlite3_bind_int64(st, valueIndex, v);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return sqlite3_bind_int64(st, valueIndex, static_cast<sqlite3_int64>(v));
        } else if constexpr (std::is_same_v<T, double>) {
          return sqlite3_bind_double(st, valueIndex, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return sqlite3_bind_text(st, valueIndex, v.empty() ? kEmpty : v.data(),
                                   static_cast<int>(v.size()), SQLITE_TRANSIENT);
        } else if constexpr (std::is_same_v<T, Date>) {
          return sqlite3_bind_int64(st, valueIndex, v.time_since_epoch().count());
        } else if constexpr (std::is_same_v<T, Data>) {
          return sqlite3_bind_blob(st, valueIndex,
                                   v.empty() ? kEmpty : static_cast<const void*>(v.data()),
                                   static_cast<int>(v.size()), SQLITE_TRANSIENT);
        } else {
          std::string bytes;
          if constexpr (std::is_same_v<T, StringMap>) {
            bytes = encodeMap(v);
          } else {
            bytes = encodeDataList(v);
          }
          return sqlite3_bind_blob(st, valueIndex, bytes.data(), static_cast<int>(bytes.size()),
                                   SQLITE_TRANSIENT);
        }
      },
      value.storage());
}

// Reads the (kind, value) pair in columns `kindCol` and `kindCol + 1`. A row whose kind is
// unknown or whose value does not have the storage class its kind needs reads as nothing.
std::optional<Value> columnValue(sqlite3_stmt* st, int kindCol) {
  const int valueCol = kindCol + 1;
  if (sqlite3_column_type(st, kindCol) != SQLITE_INTEGER) return std::nullopt;
  const auto kind = static_cast<Kind>(sqlite3_column_int(st, kindCol));
  const int type = sqlite3_column_type(st, valueCol);
  auto blob = [&]() -> std::string_view {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(st, valueCol));
    const int n = sqlite3_column_bytes(st, valueCol);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
  };
  switch (kind) {
    case Kind::Bool:
      if (type != SQLITE_INTEGER) return std::nullopt;
      return Value(sqlite3_column_int64(st, valueCol) != 0);
    case Kind::Int:
      if (type != SQLITE_INTEGER) return std::nullopt;
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(st, valueCol)));
    case Kind::UInt:
      if (type != SQLITE_INTEGER) return std::nullopt;
      return Value(static_cast<std::uint64_t>(sqlite3_column_int64(st, valueCol)));
    case Kind::Double:
      if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) return std::nullopt;
      return Value(sqlite3_column_double(st, valueCol));
    case Kind::String: {
      if (type != SQLITE_TEXT) return std::nullopt;
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, valueCol));
      const int n = sqlite3_column_bytes(st, valueCol);
      return Value(std::string(p ? p : "", static_cast<std::size_t>(n)));
    }
    case Kind::Date:
      if (type != SQLITE_INTEGER) return std::nullopt;
      return Value(Date(std::chrono::nanoseconds(sqlite3_column_int64(st, valueCol))));
    case Kind::Data: {
      if (type != SQLITE_BLOB) return std::nullopt;
      const auto b = blob();
      return Value(Data(b.begin(), b.end()));
    }
    case Kind::Map: {
      if (type != SQLITE_BLOB) return std::nullopt;
      std::optional<Value> out;
      if (auto m = decodeMap(blob())) out.emplace(std::move(*m));
      return out;
    }
    case Kind::DataList: {
      if (type != SQLITE_BLOB) return std::nullopt;
      std::optional<Value> out;
      if (auto l = decodeDataList(blob())) out.emplace(std::move(*l));
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace

void DomainStore::Statement::operator()(sqlite3_stmt* s) const {
  sqlite3_finalize(s);
}

DomainStore::DomainStore(std::string name, fs::path path)
    : name_(std::move(name)), path_(std::move(path)) {
  std::lock_guard lock(mutex_);
  open();
}

DomainStore::~DomainStore() {
  std::lock_guard lock(mutex_);
  // Statements first: a connection with unfinalized statements is not closed.
  for (Stmt* s : {&selectOne_, &upsert_, &erase_, &selectAll_, &history_, &prune_, &maxSeq_})
    s->reset();
  if (db_) sqlite3_close_v2(db_);
}

// The connection's message belongs to its most recent call, which need not be the one that
// failed with `rc` (a reset or rollback since then leaves "not an error"): it is used only when it
// is about `rc`, else the text of the code itself.
std::string DomainStore::describe(int rc) const {
  if (db_ && sqlite3_extended_errcode(db_) == rc) {
    if (const char* msg = sqlite3_errmsg(db_)) return msg;
  }
  const char* text = sqlite3_errstr(rc);
  return text ? text : "unknown error";
}

void DomainStore::markUnreadable(int rc, const std::string& what) {
  available_ = false;
  if (!reportedUnreadable_.exchange(true)) {
    diagnostics::reportf(
        "Defaults: cannot read the domain \"%s\" at %s (%s: %s); its settings read their "
        "defaults",
        name_.c_str(), path_.c_str(), what.c_str(), describe(rc).c_str());
  }
}

void DomainStore::reportWriteFailure(std::string_view key, int rc) {
  if (isUnreadable(rc)) return markUnreadable(rc, "write");
  if (!reportedWriteFailure_.exchange(true)) {
    diagnostics::reportf("Defaults: cannot write \"%.*s\" to the domain \"%s\" at %s: %s",
                         static_cast<int>(key.size()), key.data(), name_.c_str(), path_.c_str(),
                         describe(rc).c_str());
  }
}

int DomainStore::exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

// Runs `body` (which returns an SQLite code) inside BEGIN IMMEDIATE ... COMMIT, retrying while
// the database is busy. Returns SQLITE_OK or the failing code. Caller holds mutex_.
template <class Body>
int DomainStore::transaction(Body&& body) {
  const auto deadline = Clock::now() + kWriteDeadline;
  auto backoff = std::chrono::milliseconds(1);
  while (true) {
    int rc = exec("BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) {
      rc = body();
      if (rc == SQLITE_OK) rc = exec("COMMIT");
      if (rc == SQLITE_OK) return SQLITE_OK;
      if (!sqlite3_get_autocommit(db_)) exec("ROLLBACK");
    }
    if (!isBusy(rc) || Clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(backoff);
    backoff = std::min(backoff * 2, std::chrono::milliseconds(50));
  }
}

void DomainStore::open() {
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  if (rc != SQLITE_OK) return markUnreadable(rc, "open");
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // Switching a new database to WAL takes an exclusive lock and may report busy at once while
  // another process opens the same domain; retry like a write. Only an unreadable file is
  // fatal: a database left in its old journal mode still works.
  const auto deadline = Clock::now() + kWriteDeadline;
  while (isBusy(rc = exec("PRAGMA journal_mode=WAL")) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (isUnreadable(rc)) return markUnreadable(rc, "open");
  exec("PRAGMA synchronous=NORMAL");
  if (!sqlite3_db_readonly(db_, "main")) {
    rc = transaction([&] { return exec(kSchema); });
    if (rc != SQLITE_OK) return markUnreadable(rc, "schema");
  }
  struct {
    Stmt* stmt;
    const char* sql;
  } const statements[] = {
      {&selectOne_, "SELECT kind, value FROM kv WHERE key = ?1"},
      {&upsert_,
       "INSERT INTO kv(key, kind, value) VALUES (?1, ?2, ?3) ON CONFLICT(key) DO UPDATE SET "
       "kind = excluded.kind, value = excluded.value "
       "WHERE kind IS NOT excluded.kind OR value IS NOT excluded.value"},
      {&erase_, "DELETE FROM kv WHERE key = ?1"},
      {&selectAll_, "SELECT key, kind, value FROM kv ORDER BY key"},
      {&history_,
       "SELECT seq, key, old_kind, old_value, new_kind, new_value FROM changes WHERE seq > ?1 "
       "ORDER BY seq LIMIT 256"},
      {&prune_,
       "DELETE FROM changes WHERE seq <= (SELECT max(seq) FROM changes) - ?1 AND at < "
       "CAST(strftime('%s','now') AS INTEGER) - ?2"},
      {&maxSeq_, "SELECT COALESCE(max(seq), 0) FROM changes"},
  };
  for (const auto& s : statements) {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v3(db_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    s.stmt->reset(st);
    if (rc != SQLITE_OK) return markUnreadable(rc, "prepare");
  }
  available_ = true;
}

namespace {

int stepDone(sqlite3_stmt* st) {
  const int rc = sqlite3_step(st);
  sqlite3_reset(st);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int bindKey(sqlite3_stmt* st, std::string_view key) {
  return sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::optional<Value> DomainStore::readLocked(std::string_view key, int& rc) {
  sqlite3_stmt* st = selectOne_.get();
  sqlite3_reset(st);
  rc = bindKey(st, key);
  if (rc != SQLITE_OK) return std::nullopt;
  std::optional<Value> out;
  rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    out = columnValue(st, 0);
    rc = SQLITE_OK;
  } else if (rc == SQLITE_DONE) {
    rc = SQLITE_OK;
  }
  sqlite3_reset(st);
  return out;
}

// Writes `value` (nullopt: removes the key); when that changed the entry, `out` says so, with
// the history entry the write made.
int DomainStore::writeLocked(std::string_view key, const std::optional<Value>& value,
                             Written& out) {
  sqlite3_stmt* st = value ? upsert_.get() : erase_.get();
  sqlite3_reset(st);
  int rc = bindKey(st, key);
  if (rc == SQLITE_OK && value) rc = bindValue(st, 2, 3, *value);
  if (rc == SQLITE_OK) rc = stepDone(st);
  if (rc != SQLITE_OK || sqlite3_changes(db_) == 0) return rc;
  out.outcome = Outcome::Changed;
  // The write lock is ours, so the newest entry is the one this write's trigger added.
  out.sequence = lastSequenceLocked();
  sqlite3_reset(prune_.get());
  sqlite3_bind_int(prune_.get(), 1, kHistoryRows);
  sqlite3_bind_int(prune_.get(), 2, kHistorySeconds);
  return stepDone(prune_.get());
}

platform::base::Result<std::optional<Value>, int> DomainStore::read(std::string_view key) {
  std::lock_guard lock(mutex_);
  if (!available_) return platform::base::Failure{SQLITE_MISUSE};
  int rc = SQLITE_OK;
  auto out = readLocked(key, rc);
  if (rc != SQLITE_OK) {
    if (isUnreadable(rc)) markUnreadable(rc, "read");
    return platform::base::Failure{rc};
  }
  return out;
}

std::vector<std::pair<std::string, Value>> DomainStore::entries() {
  std::vector<std::pair<std::string, Value>> out;
  std::lock_guard lock(mutex_);
  if (!available_) return out;
  sqlite3_stmt* st = selectAll_.get();
  sqlite3_reset(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    if (auto v = columnValue(st, 1)) out.emplace_back(k ? k : "", std::move(*v));
  }
  sqlite3_reset(st);
  if (rc != SQLITE_DONE && isUnreadable(rc)) markUnreadable(rc, "read");
  return out;
}

DomainStore::Written DomainStore::modify(
    std::string_view key, const std::function<Update(const std::optional<Value>&)>& fn) {
  int rc = SQLITE_OK;
  Written out;
  {
    std::lock_guard lock(mutex_);
    if (!available_) return out;
    rc = transaction([&] {
      // Only the attempt that commits counts: an earlier one was rolled back.
      out = Written{};
      int r = SQLITE_OK;
      auto current = readLocked(key, r);
      if (r != SQLITE_OK) return r;
      const Update update = fn(current);
      if (!update) return SQLITE_OK;
      r = writeLocked(key, *update, out);
      if (r != SQLITE_OK || out.outcome != Outcome::Changed) return r;
      out.stored = readLocked(key, r);
      return r;
    });
  }
  if (rc != SQLITE_OK) {
    reportWriteFailure(key, rc);
    return Written{};
  }
  if (out.outcome != Outcome::Changed) out.outcome = Outcome::Unchanged;
  return out;
}

std::vector<Change> DomainStore::changesAfter(std::int64_t sequence) {
  std::vector<Change> changes;
  std::lock_guard lock(mutex_);
  if (!available_ || !history_) return changes;
  sqlite3_stmt* st = history_.get();
  sqlite3_reset(st);
  sqlite3_bind_int64(st, 1, sequence);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Change c;
    c.sequence = sqlite3_column_int64(st, 0);
    const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    c.key = k ? k : "";
    c.oldValue = columnValue(st, 2);
    c.newValue = columnValue(st, 4);
    changes.push_back(std::move(c));
  }
  sqlite3_reset(st);
  if (rc != SQLITE_DONE && isUnreadable(rc)) markUnreadable(rc, "read changes");
  return changes;
}

std::int64_t DomainStore::lastSequence() {
  std::lock_guard lock(mutex_);
  if (!available_ || !maxSeq_) return 0;
  return lastSequenceLocked();
}

std::int64_t DomainStore::lastSequenceLocked() {
  sqlite3_stmt* st = maxSeq_.get();
  sqlite3_reset(st);
  std::int64_t last = 0;
  if (sqlite3_step(st) == SQLITE_ROW) last = sqlite3_column_int64(st, 0);
  sqlite3_reset(st);
  return last;
}

}  // namespace platform::defaults

#include "platform/defaults/Domain.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "platform/base/ErrnoText.h"
#include "platform/base/NoDestructor.h"
#include "platform/bundle/InfoDictionary.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

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
constexpr off_t kCounterFileSize = 16;

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

struct Registry {
  std::mutex mutex;
  fs::path base;
  bool baseSet = false;
  std::map<std::string, std::shared_ptr<Domain>> suites;
  std::shared_ptr<Domain> standard;
};

// Kept alive until the process ends: domains and their watchers may still be in use while
// static objects are destroyed at exit, so the registry is never destroyed.
Registry& registry() {
  static platform::base::NoDestructor<Registry> r;
  return *r;
}

bool isBusy(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool isUnreadable(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

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
      if (auto m = decodeMap(blob())) return Value(std::move(*m));
      return std::nullopt;
    }
    case Kind::DataList: {
      if (type != SQLITE_BLOB) return std::nullopt;
      if (auto l = decodeDataList(blob())) return Value(std::move(*l));
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

struct Domain::Impl {
  Domain* owner = nullptr;

  // Database, its statements and its state: guarded by dbMutex.
  std::mutex dbMutex;
  sqlite3* db = nullptr;
  Stmt selectOne, upsert, erase, selectAll, history, prune, maxSeq;
  std::atomic<bool> available{false};
  std::atomic<bool> reportedUnreadable{false};
  std::atomic<bool> reportedWriteFailure{false};

  // The shared change counter (a memory-mapped 8-byte word), or nullptr when it could not be set
  // up, in which case nothing is cached.
  std::uint64_t* counter = nullptr;
  int counterFd = -1;

  // Cache: key -> stored object (nullopt: known to be absent), valid while the shared counter
  // and the local generation both equal the stamps.
  std::mutex cacheMutex;
  std::map<std::string, std::optional<Value>, std::less<>> cache;
  std::uint64_t cacheCounter = ~std::uint64_t{0};
  std::uint64_t cacheGeneration = 0;
  std::uint64_t generation = 0;

  // Observers.
  struct Entry {
    std::string key;
    Observer fn;
  };
  std::mutex observerMutex;
  std::map<ObserverId, std::shared_ptr<Entry>> observers;
  ObserverId nextObserverId = 1;

  // Watcher: set up once by the first observer.
  std::once_flag watcherOnce;
  std::shared_ptr<dispatch::Queue> queue;
  std::shared_ptr<dispatch::ReadSource> source;
  std::int64_t lastSeen = 0;  // only touched on `queue` (or before the source starts)

  ~Impl() {
    if (source) source->cancel();
    {
      std::lock_guard lock(dbMutex);
      selectOne.reset();
      upsert.reset();
      erase.reset();
      selectAll.reset();
      history.reset();
      prune.reset();
      maxSeq.reset();
      if (db) sqlite3_close_v2(db);
      db = nullptr;
    }
    if (counter) munmap(counter, sizeof(std::uint64_t));
    if (counterFd >= 0) ::close(counterFd);
  }

  // The connection's message belongs to its most recent call, which need not be the one that
  // failed with `rc` (a reset or rollback since then leaves "not an error"): it is used only
  // when it is about `rc`, else the text of the code itself.
  std::string describe(int rc) const {
    if (db && sqlite3_extended_errcode(db) == rc) {
      if (const char* msg = sqlite3_errmsg(db)) return msg;
    }
    const char* text = sqlite3_errstr(rc);
    return text ? text : "unknown error";
  }

  // Marks the domain unavailable after an unreadable database, reporting it once.
  void markUnreadable(int rc, const std::string& what) {
    available = false;
    if (!reportedUnreadable.exchange(true)) {
      diagnostics::reportf(
          "Defaults: cannot read the domain \"%s\" at %s (%s: %s); its settings read their "
          "defaults",
          owner->name_.c_str(), owner->databasePath().c_str(), what.c_str(), describe(rc).c_str());
    }
  }

  void reportWriteFailure(std::string_view key, int rc) {
    if (isUnreadable(rc)) return markUnreadable(rc, "write");
    if (!reportedWriteFailure.exchange(true)) {
      diagnostics::reportf("Defaults: cannot write \"%.*s\" to the domain \"%s\" at %s: %s",
                           static_cast<int>(key.size()), key.data(), owner->name_.c_str(),
                           owner->databasePath().c_str(), describe(rc).c_str());
    }
  }

  Stmt prepare(const char* sql, int& rc) {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    return Stmt(st);
  }

  int execLocked(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

  void openLocked() {
    std::error_code ec;
    fs::create_directories(owner->directory_, ec);
    const auto path = owner->databasePath();
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      if (db) sqlite3_close_v2(db);
      db = nullptr;
      rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    }
    if (rc != SQLITE_OK) return markUnreadable(rc, "open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Switching a new database to WAL takes an exclusive lock and may report busy at once while
    // another process opens the same domain; retry like a write. Only an unreadable file is
    // fatal: a database left in its old journal mode still works.
    const auto deadline = Clock::now() + kWriteDeadline;
    while (isBusy(rc = execLocked("PRAGMA journal_mode=WAL")) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (isUnreadable(rc)) return markUnreadable(rc, "open");
    execLocked("PRAGMA synchronous=NORMAL");
    if (!sqlite3_db_readonly(db, "main")) {
      rc = transactionLocked([&] { return execLocked(kSchema); });
      if (rc != SQLITE_OK) return markUnreadable(rc, "schema");
    }
    struct {
      Stmt* stmt;
      const char* sql;
    } const statements[] = {
        {&selectOne, "SELECT kind, value FROM kv WHERE key = ?1"},
        {&upsert,
         "INSERT INTO kv(key, kind, value) VALUES (?1, ?2, ?3) ON CONFLICT(key) DO UPDATE SET "
         "kind = excluded.kind, value = excluded.value "
         "WHERE kind IS NOT excluded.kind OR value IS NOT excluded.value"},
        {&erase, "DELETE FROM kv WHERE key = ?1"},
        {&selectAll, "SELECT key, kind, value FROM kv ORDER BY key"},
        {&history,
         "SELECT seq, key, old_kind, old_value, new_kind, new_value FROM changes WHERE seq > ?1 "
         "ORDER BY seq LIMIT 256"},
        {&prune,
         "DELETE FROM changes WHERE seq <= (SELECT max(seq) FROM changes) - ?1 AND at < "
         "CAST(strftime('%s','now') AS INTEGER) - ?2"},
        {&maxSeq, "SELECT COALESCE(max(seq), 0) FROM changes"},
    };
    for (const auto& s : statements) {
      *s.stmt = prepare(s.sql, rc);
      if (rc != SQLITE_OK) return markUnreadable(rc, "prepare");
    }
    available = true;
    openCounter();
  }

  // The counter file: an 8-byte change counter (memory-mapped) followed by a doorbell byte.
  void openCounter() {
    const auto path = owner->directory_ / "defaults.seq";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0 &&
                    (st.st_size >= kCounterFileSize || ftruncate(fd, kCounterFileSize) == 0);
    if (ok) {
      void* p = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) {
        counter = static_cast<std::uint64_t*>(p);
        counterFd = fd;
        return;
      }
    }
    ::close(fd);
  }

  std::uint64_t loadCounter() const {
    return std::atomic_ref<std::uint64_t>(*counter).load(std::memory_order_acquire);
  }
  // Called after every commit. Observers are woken by inotify, and a commit's own writes to
  // the WAL file can be seen before the commit is visible to readers; ringing the doorbell (a
  // real write, which inotify reports, unlike stores through the mapping) after the commit
  // guarantees a wake-up that finds the change.
  void bumpCounter() {
    if (!counter) return;
    std::atomic_ref<std::uint64_t>(*counter).fetch_add(1, std::memory_order_acq_rel);
    const char ring = 1;
    [[maybe_unused]] const auto n = ::pwrite(counterFd, &ring, 1, sizeof(std::uint64_t));
  }

  // Runs `body` (which returns an SQLite code) inside BEGIN IMMEDIATE ... COMMIT, retrying while
  // the database is busy. Returns SQLITE_OK or the failing code. Caller holds dbMutex.
  template <class Body>
  int transactionLocked(Body&& body) {
    const auto deadline = Clock::now() + kWriteDeadline;
    auto backoff = std::chrono::milliseconds(1);
    while (true) {
      int rc = execLocked("BEGIN IMMEDIATE");
      if (rc == SQLITE_OK) {
        rc = body();
        if (rc == SQLITE_OK) rc = execLocked("COMMIT");
        if (rc == SQLITE_OK) return SQLITE_OK;
        if (!sqlite3_get_autocommit(db)) execLocked("ROLLBACK");
      }
      if (!isBusy(rc) || Clock::now() >= deadline) return rc;
      std::this_thread::sleep_for(backoff);
      backoff = std::min(backoff * 2, std::chrono::milliseconds(50));
    }
  }

  static int stepDone(sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  int bindKey(sqlite3_stmt* st, std::string_view key) {
    return sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  }

  // Reads one key from the database. Caller holds dbMutex. `rc` receives the outcome.
  std::optional<Value> readLocked(std::string_view key, int& rc) {
    sqlite3_stmt* st = selectOne.get();
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

  int writeLocked(std::string_view key, const std::optional<Value>& value) {
    sqlite3_stmt* st = value ? upsert.get() : erase.get();
    sqlite3_reset(st);
    int rc = bindKey(st, key);
    if (rc == SQLITE_OK && value) rc = bindValue(st, 2, 3, *value);
    if (rc == SQLITE_OK) rc = stepDone(st);
    if (rc != SQLITE_OK || sqlite3_changes(db) == 0) return rc;
    sqlite3_reset(prune.get());
    sqlite3_bind_int(prune.get(), 1, kHistoryRows);
    sqlite3_bind_int(prune.get(), 2, kHistorySeconds);
    return stepDone(prune.get());
  }

  void invalidateCache() {
    std::lock_guard lock(cacheMutex);
    cache.clear();
    ++generation;
  }

  // Reads history rows after lastSeen and hands them to observers. Runs on `queue`.
  void deliverNewChanges() {
    while (true) {
      std::vector<Change> changes;
      {
        std::lock_guard lock(dbMutex);
        if (!available || !history) return;
        sqlite3_stmt* st = history.get();
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, lastSeen);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
          Change c;
          c.sequence = sqlite3_column_int64(st, 0);
          const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
          c.key = k ? k : "";
          c.oldValue = columnValue(st, 2);
          c.newValue = columnValue(st, 4);
          lastSeen = c.sequence;
          changes.push_back(std::move(c));
        }
        sqlite3_reset(st);
        if (rc != SQLITE_DONE && isUnreadable(rc)) markUnreadable(rc, "read changes");
      }
      if (changes.empty()) return;
      invalidateCache();
      for (const auto& c : changes) {
        std::vector<std::shared_ptr<Entry>> targets;
        {
          std::lock_guard lock(observerMutex);
          for (const auto& [id, e] : observers) {
            if (e->key.empty() || e->key == c.key) targets.push_back(e);
          }
        }
        for (const auto& e : targets)
          e->fn(c);
      }
    }
  }

  void startWatcher() {
    queue =
        dispatch::Queue::makeSerial("platform.defaults." + owner->name_, dispatch::QoS::Utility);
    {
      std::lock_guard lock(dbMutex);
      if (available && maxSeq) {
        sqlite3_stmt* st = maxSeq.get();
        sqlite3_reset(st);
        if (sqlite3_step(st) == SQLITE_ROW) lastSeen = sqlite3_column_int64(st, 0);
        sqlite3_reset(st);
      }
    }
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
      diagnostics::reportf("Defaults: cannot watch the domain \"%s\": inotify: %s",
                           owner->name_.c_str(), platform::base::errnoText(errno).c_str());
      return;
    }
    // Commits append to the WAL file, checkpoints rewrite the database and a fresh WAL is
    // created; any of these in the domain's directory is worth a look at the history.
    if (inotify_add_watch(fd, owner->directory_.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
      diagnostics::reportf("Defaults: cannot watch the domain \"%s\" at %s: %s",
                           owner->name_.c_str(), owner->directory_.c_str(),
                           platform::base::errnoText(errno).c_str());
      ::close(fd);
      return;
    }
    source = dispatch::ReadSource::make(fd, queue);
    std::weak_ptr<Domain> weak = owner->weak_from_this();
    source->setEventHandler([weak, fd] {
      char buf[4096];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
      if (auto self = weak.lock()) self->impl_->deliverNewChanges();
    });
    source->setCancelHandler([fd] { ::close(fd); });
    source->resume();
  }
};

Domain::Domain(OpenTag, std::string name, fs::path directory)
    : name_(std::move(name)), directory_(std::move(directory)), impl_(std::make_unique<Impl>()) {
  impl_->owner = this;
}

Domain::~Domain() = default;

std::shared_ptr<Domain> Domain::open(std::string name, fs::path directory) {
  auto d = std::make_shared<Domain>(OpenTag{}, std::move(name), std::move(directory));
  std::lock_guard lock(d->impl_->dbMutex);
  d->impl_->openLocked();
  return d;
}

fs::path Domain::defaultBaseDirectory() {
  if (geteuid() == 0) return "/var/lib";
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
      home = pw->pw_dir;
    }
  }
  if (home && home[0] == '/') return fs::path(home) / ".config";
  std::error_code ec;
  auto tmp = fs::temp_directory_path(ec);
  return ec ? fs::path("/tmp") : tmp;
}

void Domain::setBaseDirectory(fs::path base) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.base = std::move(base);
  r.baseSet = true;
}

fs::path Domain::baseDirectory() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  return r.baseSet ? r.base : defaultBaseDirectory();
}

std::shared_ptr<Domain> Domain::suite(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name == bundle::InfoDictionary::main().identifier) {
    return nullptr;
  }
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto& slot = r.suites[name];
  if (!slot) slot = open(name, (r.baseSet ? r.base : defaultBaseDirectory()) / name);
  return slot;
}

std::shared_ptr<Domain> Domain::standard() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.standard) {
    const auto& id = bundle::InfoDictionary::main().identifier;
    r.standard = open(id, (r.baseSet ? r.base : defaultBaseDirectory()) / id);
  }
  return r.standard;
}

bool Domain::isAvailable() const {
  return impl_->available;
}

std::optional<Value> Domain::object(std::string_view key) {
  Impl& m = *impl_;
  if (!m.available) return std::nullopt;
  std::uint64_t seenCounter = 0, seenGeneration = 0;
  if (m.counter) {
    std::lock_guard lock(m.cacheMutex);
    seenCounter = m.loadCounter();
    if (seenCounter == m.cacheCounter && m.generation == m.cacheGeneration) {
      if (auto it = m.cache.find(key); it != m.cache.end()) return it->second;
    } else {
      m.cache.clear();
      m.cacheCounter = seenCounter;
      m.cacheGeneration = m.generation;
    }
    seenGeneration = m.generation;
  }
  std::optional<Value> out;
  int rc = SQLITE_OK;
  {
    std::lock_guard lock(m.dbMutex);
    if (!m.available) return std::nullopt;
    out = m.readLocked(key, rc);
    if (rc != SQLITE_OK) {
      if (isUnreadable(rc)) m.markUnreadable(rc, "read");
      return std::nullopt;
    }
  }
  if (m.counter) {
    std::lock_guard lock(m.cacheMutex);
    if (m.cacheCounter == seenCounter && m.cacheGeneration == seenGeneration &&
        m.generation == seenGeneration) {
      m.cache.insert_or_assign(std::string(key), out);
    }
  }
  return out;
}

std::vector<std::pair<std::string, Value>> Domain::entries() {
  std::vector<std::pair<std::string, Value>> out;
  std::lock_guard lock(impl_->dbMutex);
  if (!impl_->available) return out;
  sqlite3_stmt* st = impl_->selectAll.get();
  sqlite3_reset(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    if (auto v = columnValue(st, 1)) out.emplace_back(k ? k : "", std::move(*v));
  }
  sqlite3_reset(st);
  if (rc != SQLITE_DONE && isUnreadable(rc)) impl_->markUnreadable(rc, "read");
  return out;
}

bool Domain::set(std::string_view key, const Value& value) {
  return modify(key,
                [&](const std::optional<Value>&) -> Update { return std::optional<Value>(value); });
}

bool Domain::remove(std::string_view key) {
  return modify(key, [](const std::optional<Value>&) -> Update { return std::optional<Value>(); });
}

bool Domain::modify(std::string_view key,
                    const std::function<Update(const std::optional<Value>&)>& fn) {
  Impl& m = *impl_;
  int rc = SQLITE_OK;
  bool changed = false;
  {
    std::lock_guard lock(m.dbMutex);
    if (!m.available) return false;
    const auto changesBefore = sqlite3_total_changes64(m.db);
    rc = m.transactionLocked([&] {
      int r = SQLITE_OK;
      auto current = m.readLocked(key, r);
      if (r != SQLITE_OK) return r;
      const Update update = fn(current);
      if (!update) return SQLITE_OK;
      return m.writeLocked(key, *update);
    });
    changed = rc == SQLITE_OK && sqlite3_total_changes64(m.db) != changesBefore;
  }
  if (rc != SQLITE_OK) {
    m.reportWriteFailure(key, rc);
    return false;
  }
  // A write that changed nothing leaves caches valid and wakes nobody.
  if (!changed) return true;
  m.bumpCounter();
  if (!m.counter) m.invalidateCache();
  return true;
}

Domain::ObserverId Domain::addObserver(std::string key, Observer observer) {
  std::call_once(impl_->watcherOnce, [this] { impl_->startWatcher(); });
  std::lock_guard lock(impl_->observerMutex);
  const ObserverId id = impl_->nextObserverId++;
  impl_->observers.emplace(
      id, std::make_shared<Impl::Entry>(Impl::Entry{std::move(key), std::move(observer)}));
  return id;
}

void Domain::removeObserver(ObserverId id) {
  {
    std::lock_guard lock(impl_->observerMutex);
    impl_->observers.erase(id);
  }
  // Wait for a delivery that may have picked the observer up before it was removed.
  if (impl_->queue && !dispatch::Queue::isCurrentlyOn(*impl_->queue)) impl_->queue->sync([] {});
}

void Domain::pollChanges() {
  if (!impl_->queue) return impl_->invalidateCache();
  if (dispatch::Queue::isCurrentlyOn(*impl_->queue)) return impl_->deliverNewChanges();
  impl_->queue->sync([this] { impl_->deliverNewChanges(); });
}

}  // namespace platform::defaults

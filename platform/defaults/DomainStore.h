#pragma once
// The SQLite database of one defaults domain: values with their kinds, and the history of
// changes that triggers append on every insert, update and delete (old and new typed values),
// pruned to the last minute or the last 1024 changes, whichever keeps more.
//
// One connection per store, used under the store's own lock. Writes run in BEGIN IMMEDIATE
// transactions that wait for other writers (busy timeout plus retries up to a deadline), so a
// busy database never surfaces as a failure. A database that cannot be opened or read (corrupt
// file, wrong permissions) is reported once on the diagnostic channel and makes the store
// unavailable from then on: reads find nothing and writes fail; the file itself is left as it
// is, so nothing already written is lost.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/Result.h"
#include "platform/defaults/Value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform::defaults {

class DomainStore {
 public:
  // Opens the database at `path`, creating it (and its schema) when missing; read-only when it
  // cannot be opened for writing. `name` is the domain's, for reports.
  DomainStore(std::string name, std::filesystem::path path);
  ~DomainStore();
  DomainStore(const DomainStore&) = delete;
  DomainStore& operator=(const DomainStore&) = delete;

  bool isAvailable() const { return available_.load(); }

  // The object under `key` (nullopt when there is none), or the SQLite result code the read
  // failed with (SQLITE_MISUSE when the store is unavailable).
  platform::base::Result<std::optional<Value>, int> read(std::string_view key);
  // Every stored entry, sorted by key.
  std::vector<std::pair<std::string, Value>> entries();

  // What a read-modify-write does with the stored object (see Domain::modify).
  using Update = std::optional<std::optional<Value>>;
  enum class Outcome { Failed, Unchanged, Changed };
  struct Written {
    Outcome outcome = Outcome::Failed;
    // When Changed: what a read of the key gives now (read back inside the write's own
    // transaction, so it is what was stored, not what was asked for), and the sequence of the
    // history entry the change made (0 when it cannot be told).
    std::optional<Value> stored;
    std::int64_t sequence = 0;
  };
  // Runs `fn` on the stored object and applies its update, in one transaction (`fn` may run
  // more than once while the database is contended). Failed when the store is unavailable or
  // the write failed (reported once); Unchanged when nothing was written or an equal object
  // was stored.
  Written modify(std::string_view key,
                 const std::function<Update(const std::optional<Value>&)>& fn);

  // Up to one batch of history entries after `sequence`, oldest first.
  std::vector<Change> changesAfter(std::int64_t sequence);
  // The newest history entry's sequence; 0 when there is none.
  std::int64_t lastSequence();

 private:
  struct Statement {
    void operator()(sqlite3_stmt* s) const;
  };
  using Stmt = std::unique_ptr<sqlite3_stmt, Statement>;

  void open();
  void markUnreadable(int rc, const std::string& what);
  void reportWriteFailure(std::string_view key, int rc);
  std::string describe(int rc) const;
  int exec(const char* sql);
  template <class Body>
  int transaction(Body&& body);
  std::optional<Value> readLocked(std::string_view key, int& rc);
  int writeLocked(std::string_view key, const std::optional<Value>& value, Written& out);
  std::int64_t lastSequenceLocked();

  const std::string name_;
  const std::filesystem::path path_;
  std::atomic<bool> available_{false};
  std::atomic<bool> reportedUnreadable_{false};
  std::atomic<bool> reportedWriteFailure_{false};
  std::mutex mutex_;  // guards everything below
  sqlite3* db_ = nullptr;
  Stmt selectOne_, upsert_, erase_, selectAll_, history_, prune_, maxSeq_;
};

}  // namespace platform::defaults

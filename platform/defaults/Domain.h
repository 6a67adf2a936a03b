#pragma once
// A defaults domain: a persistent, typed key-value store shared by every process that opens the
// same domain, with change observation that also reports changes made by other processes.
//
// Storage: one SQLite database per domain, in WAL mode, in the domain's own directory
// (<base>/<domain name>/defaults.db, where <base> is /var/lib for uid 0 and $XDG_CONFIG_HOME,
// default ~/.config, for everyone else). Triggers on the values table append every insert,
// update and delete, with old and new typed values, to a change table; that table is the
// domain's history, pruned to the last minute or the last 1024 changes, whichever keeps more.
//
// Cheap reads: values are cached per domain object. Every committed write bumps a change counter
// kept in a small memory-mapped file beside the database (<dir>/defaults.seq), so checking
// whether the cache is stale costs one atomic load, not a query. The counter is bumped after the
// commit, so a reader that sees an unchanged counter cannot have missed a committed change (only
// a writer killed between its commit and the bump could delay that change until the next one, or
// until the domain's watcher notices the new history row). An object's own write keeps its
// cache, with the written key as stored, when its bump finds the counter where the cache was
// stamped; when anyone else (another process, or another object of the same domain) has bumped
// it since, the cache is dropped as for any other change. A write that fails leaves it as it was.
//
// Observation: the first observer starts a watcher that waits, through inotify on the domain's
// directory, for the database files to change, then reads the history rows it has not seen yet
// and hands each change of an observed key to its observers, on the domain's serial queue, in
// history order. Writes made by this process are reported the same way as anyone else's.
//
// Failures: a database that cannot be opened or read (corrupt file, wrong permissions) is
// reported once on the diagnostic channel; from then on the domain is unavailable: every read
// finds nothing (so every setting reads its default) and writes fail. The file itself is left
// untouched so nothing already written is lost. Concurrent writers wait for one another (BEGIN
// IMMEDIATE with a busy timeout and retries); a busy database never surfaces as an error.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/defaults/Value.h"

namespace platform::defaults {

class Domain : public std::enable_shared_from_this<Domain> {
 public:
  // Opens the domain `name` whose files live in `directory` (created when missing). Never null:
  // a domain that cannot be opened is returned unavailable.
  static std::shared_ptr<Domain> open(std::string name, std::filesystem::path directory);

  // Where domains live by default: /var/lib for uid 0, else $XDG_CONFIG_HOME (default
  // ~/.config); with no home, a private directory of this user under the temporary directory
  // (/dev/null, under which nothing can be made, when none can be had).
  static std::filesystem::path defaultBaseDirectory();
  // The base directory that suite() and standard() use from now on in this process (tools take
  // it from a command-line option, tests from a temporary directory). Domains already opened
  // keep their place.
  static void setBaseDirectory(std::filesystem::path base);
  static std::filesystem::path baseDirectory();

  // The process's one object for the named suite, opened on first use in the base directory.
  // nullptr when the name is refused: empty, ".", "..", containing '/', or the standard domain's
  // own name (a suite cannot alias the process's standard domain).
  static std::shared_ptr<Domain> suite(const std::string& name);
  // The process's standard domain, named after the executable's bundle identifier.
  static std::shared_ptr<Domain> standard();

  ~Domain();
  Domain(const Domain&) = delete;
  Domain& operator=(const Domain&) = delete;

  const std::string& name() const { return name_; }
  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path databasePath() const { return directory_ / "defaults.db"; }
  bool isAvailable() const;

  // The object stored under `key`, or nullopt when there is none (or the domain is unavailable).
  std::optional<Value> object(std::string_view key);
  // Every stored entry, sorted by key.
  std::vector<std::pair<std::string, Value>> entries();

  // Stores `value` under `key`. False when the domain is unavailable or the write failed (each
  // failure reported on the diagnostic channel). Storing an equal object changes nothing and
  // records no change.
  bool set(std::string_view key, const Value& value);
  // Removes `key`; true when the key is absent afterwards.
  bool remove(std::string_view key);

  // Atomic read-modify-write across processes: `fn` receives the stored object and returns what
  // to do: nullopt leaves the entry as it is, a value holding nullopt removes it, a value holding
  // a value stores it. `fn` may run more than once when the database is contended, and must not
  // call back into this domain. Returns false when the domain is unavailable or the write failed.
  using Update = std::optional<std::optional<Value>>;
  bool modify(std::string_view key, const std::function<Update(const std::optional<Value>&)>& fn);

  // Observation. `key` empty observes every key. The handler runs on the domain's serial queue.
  using ObserverId = std::uint64_t;
  using Observer = std::function<void(const Change&)>;
  ObserverId addObserver(std::string key, Observer observer);
  // After it returns, the observer is not running and will not run again (unless called from
  // inside an observer, where the current call finishes first).
  void removeObserver(ObserverId id);

  // Reads the history rows not yet seen and delivers them now (the watcher does this on its
  // own when the database changes; tools and tests can call it to avoid waiting).
  void pollChanges();

  struct Impl;
  // Construction goes through open(); the tag keeps the constructor usable by make_shared only.
  struct OpenTag {
    explicit OpenTag() = default;
  };
  Domain(OpenTag, std::string name, std::filesystem::path directory);

 private:
  const std::string name_;
  const std::filesystem::path directory_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::defaults

#include "platform/defaults/Domain.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/base/PrivateDirectory.h"
#include "platform/defaults/ChangeCounter.h"
#include "platform/defaults/ChangeWatcher.h"
#include "platform/defaults/DomainRegistry.h"
#include "platform/defaults/DomainStore.h"
#include "platform/dispatch/Queue.h"

namespace platform::defaults {

namespace fs = std::filesystem;

// What a domain object adds to its store: the per-process cache of values, and the observers
// with the watcher that feeds them.
struct Domain::Impl {
  std::unique_ptr<DomainStore> store;
  // The shared change counter; null when it could not be set up, in which case nothing is
  // cached.
  std::unique_ptr<ChangeCounter> counter;

  // Cache: key -> stored object (nullopt: known to be absent), valid while the shared counter
  // and the local generation both equal the stamps.
  std::mutex cacheMutex;
  std::map<std::string, std::optional<Value>, std::less<>> cache;
  std::uint64_t cacheCounter = ~std::uint64_t{0};
  std::uint64_t cacheGeneration = 0;
  std::uint64_t generation = 0;

  // This object's own writes, one at a time, so that their counter moves follow their commits
  // in the same order. The watcher takes it too while it sorts new history entries into this
  // object's own and everyone else's: an own write is then never committed but not yet known.
  std::mutex writeMutex;
  // The history entries of own writes the watcher has not read yet; kept only while it runs.
  bool recordOwnChanges = false;
  std::set<std::int64_t> ownChanges;

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
  std::unique_ptr<ChangeWatcher> watcher;
  std::int64_t lastSeen = 0;  // only touched on `queue` (or before the watcher starts)

  void invalidateCache() {
    std::lock_guard lock(cacheMutex);
    cache.clear();
    ++generation;
  }

  // After a committed change of this object's own: moves the shared counter on and, when it was
  // still where the cache was stamped (nobody else has committed since), keeps the cache, with
  // `key` as the database now holds it. Any other move of the counter leaves the cache stale,
  // and the next read drops it. Caller holds writeMutex.
  void keepOwnWrite(std::string_view key, std::optional<Value> stored) {
    if (!counter) return invalidateCache();  // nothing is cached without a counter anyway
    {
      std::lock_guard lock(cacheMutex);
      const std::uint64_t before = counter->advance();
      if (before == cacheCounter && generation == cacheGeneration) {
        cacheCounter = before + 1;
        cache.insert_or_assign(std::string(key), std::move(stored));
      }
    }
    counter->ring();
  }

  // Reads the history after lastSeen and hands each change to its observers, in order. Runs on
  // `queue`.
  void deliverNewChanges() {
    while (true) {
      std::vector<Change> changes;
      bool othersChanged = false;
      {
        std::lock_guard writing(writeMutex);
        changes = store->changesAfter(lastSeen);
        if (changes.empty()) return;
        lastSeen = changes.back().sequence;
        for (const auto& c : changes)
          othersChanged |= ownChanges.erase(c.sequence) == 0;
        // Own entries the history dropped before they were read will not come any more.
        ownChanges.erase(ownChanges.begin(), ownChanges.upper_bound(lastSeen));
      }
      // Own writes are in the cache already. Anyone else's change normally moved the counter
      // too, but a writer killed between its commit and the counter's move is only seen here.
      if (othersChanged) invalidateCache();
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

  void startWatcher(Domain& owner) {
    queue = dispatch::Queue::makeSerial("platform.defaults." + owner.name_, dispatch::QoS::Utility);
    // Own writes from here on are after lastSeen and recorded; earlier ones are before it.
    std::lock_guard writing(writeMutex);
    lastSeen = store->lastSequence();
    std::weak_ptr<Domain> weak = owner.weak_from_this();
    watcher = ChangeWatcher::start(owner.name_, owner.directory_, queue, [weak] {
      if (auto self = weak.lock()) self->impl_->deliverNewChanges();
    });
    recordOwnChanges = watcher != nullptr;
  }
};

Domain::Domain(OpenTag, std::string name, fs::path directory)
    : name_(std::move(name)), directory_(std::move(directory)), impl_(std::make_unique<Impl>()) {}

Domain::~Domain() = default;

std::shared_ptr<Domain> Domain::open(std::string name, fs::path directory) {
  auto d = std::make_shared<Domain>(OpenTag{}, std::move(name), std::move(directory));
  std::error_code ec;
  fs::create_directories(d->directory_, ec);
  d->impl_->store = std::make_unique<DomainStore>(d->name_, d->databasePath());
  if (d->impl_->store->isAvailable()) d->impl_->counter = ChangeCounter::open(d->directory_);
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
  if (home && home[0] == '/' && std::string_view(home) != "/nonexistent") {
    return fs::path(home) / ".config";
  }
  // No home: a directory of this user alone under the temporary directory. Never the shared
  // temporary directory itself, where another user could make a domain's directory first and
  // plant its settings (a server address, say) or read what is written there.
  const std::string own = base::privateTemporaryDirectory("config");
  // Without one, a base under which nothing can be made: every domain is unavailable and its
  // settings read their defaults.
  return own.empty() ? fs::path("/dev/null") : fs::path(own);
}

void Domain::setBaseDirectory(fs::path base) {
  DomainRegistry::shared().setBaseDirectory(std::move(base));
}

fs::path Domain::baseDirectory() {
  return DomainRegistry::shared().baseDirectory();
}

std::shared_ptr<Domain> Domain::suite(const std::string& name) {
  return DomainRegistry::shared().suite(name);
}

std::shared_ptr<Domain> Domain::standard() {
  return DomainRegistry::shared().standard();
}

bool Domain::isAvailable() const {
  return impl_->store->isAvailable();
}

std::optional<Value> Domain::object(std::string_view key) {
  Impl& m = *impl_;
  if (!m.store->isAvailable()) return std::nullopt;
  std::uint64_t seenCounter = 0, seenGeneration = 0;
  if (m.counter) {
    std::lock_guard lock(m.cacheMutex);
    seenCounter = m.counter->load();
    if (seenCounter == m.cacheCounter && m.generation == m.cacheGeneration) {
      if (auto it = m.cache.find(key); it != m.cache.end()) return it->second;
    } else {
      m.cache.clear();
      m.cacheCounter = seenCounter;
      m.cacheGeneration = m.generation;
    }
    seenGeneration = m.generation;
  }
  auto read = m.store->read(key);
  if (!read) return std::nullopt;  // reported by the store when it matters
  std::optional<Value> out = std::move(read).value();
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
  return impl_->store->entries();
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
  std::lock_guard writing(m.writeMutex);
  DomainStore::Written written = m.store->modify(key, fn);
  switch (written.outcome) {
    case DomainStore::Outcome::Failed:
      // Nothing was stored, so the cache still holds what the database does.
      return false;
    case DomainStore::Outcome::Unchanged:
      // A write that changed nothing leaves caches valid and wakes nobody.
      return true;
    case DomainStore::Outcome::Changed:
      break;
  }
  if (m.recordOwnChanges && written.sequence != 0) m.ownChanges.insert(written.sequence);
  m.keepOwnWrite(key, std::move(written.stored));
  return true;
}

Domain::ObserverId Domain::addObserver(std::string key, Observer observer) {
  std::call_once(impl_->watcherOnce, [this] { impl_->startWatcher(*this); });
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

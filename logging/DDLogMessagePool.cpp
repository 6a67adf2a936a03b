#include "logging/DDLogMessagePool.h"

#include <pthread.h>

#include <atomic>

namespace dd_detail {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooling = false;
#else
constexpr bool kPooling = true;
#endif

constexpr std::align_val_t kAlign{alignof(std::max_align_t)};

struct FreeBlock {
  FreeBlock* next;
};

// Trivially destructible, so records released from exit handlers or late thread-local
// destructors still find the pool intact.
constinit std::atomic<FreeBlock*> gShared{nullptr};
// Approximate (a taker resets it without knowing how much it took); only bounds the list.
constinit std::atomic<std::size_t> gSharedCount{0};

struct Cache {
  FreeBlock* local;        // this thread's next blocks
  std::size_t localFreed;  // how many of them this thread freed itself (bounded)
  FreeBlock* chain;        // blocks on their way to the shared list
  FreeBlock* chainTail;
  std::size_t chainCount;
  bool registered;  // the thread-exit hook knows this cache
};
thread_local constinit Cache tCache{};

void releaseToSystem(FreeBlock* b) noexcept {
  while (b != nullptr) {
    FreeBlock* next = b->next;
    ::operator delete(static_cast<void*>(b), kRecordBlockSize, kAlign);
    b = next;
  }
}

void pushShared(FreeBlock* head, FreeBlock* tail, std::size_t n) noexcept {
  if (gSharedCount.load(std::memory_order_relaxed) + n > kMaxSharedBlocks) {
    releaseToSystem(head);
    return;
  }
  gSharedCount.fetch_add(n, std::memory_order_relaxed);
  FreeBlock* old = gShared.load(std::memory_order_relaxed);
  do {
    tail->next = old;
  } while (!gShared.compare_exchange_weak(old, head, std::memory_order_release,
                                          std::memory_order_relaxed));
}

// Runs when a thread that used the pool ends: its blocks go to the shared list (or back to the
// system beyond the bound).
void flushCache(void* p) noexcept {
  auto* c = static_cast<Cache*>(p);
  if (c->chain != nullptr) pushShared(c->chain, c->chainTail, c->chainCount);
  std::size_t n = 0;
  FreeBlock* tail = c->local;
  for (FreeBlock* b = c->local; b != nullptr; b = b->next) {
    tail = b;
    ++n;
  }
  if (c->local != nullptr) pushShared(c->local, tail, n);
  *c = Cache{};
}

pthread_key_t exitKey() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    pthread_key_create(&k, flushCache);
    return k;
  }();
  return key;
}

void registerCache(Cache& c) {
  if (c.registered) return;
  c.registered = true;
  pthread_setspecific(exitKey(), &c);
}

}  // namespace

void* allocateRecordBlock() {
  if constexpr (kPooling) {
    Cache& c = tCache;
    if (c.local == nullptr) {
      c.local = gShared.exchange(nullptr, std::memory_order_acquire);
      if (c.local != nullptr) {
        gSharedCount.store(0, std::memory_order_relaxed);
        c.localFreed = 0;
        registerCache(c);
      }
    }
    if (FreeBlock* b = c.local) {
      c.local = b->next;
      if (c.localFreed > 0) --c.localFreed;
      return b;
    }
  }
  return ::operator new(kRecordBlockSize, kAlign);
}

void deallocateRecordBlock(void* block) noexcept {
  if constexpr (!kPooling) {
    ::operator delete(block, kRecordBlockSize, kAlign);
    return;
  }
  Cache& c = tCache;
  auto* b = static_cast<FreeBlock*>(block);
  registerCache(c);
  if (c.localFreed < kLocalBlocks) {
    b->next = c.local;
    c.local = b;
    ++c.localFreed;
    return;
  }
  b->next = c.chain;
  if (c.chain == nullptr) c.chainTail = b;
  c.chain = b;
  if (++c.chainCount == kChainBlocks) {
    pushShared(c.chain, c.chainTail, c.chainCount);
    c.chain = c.chainTail = nullptr;
    c.chainCount = 0;
  }
}

std::size_t sharedRecordBlocks() noexcept {
  return gSharedCount.load(std::memory_order_relaxed);
}

}  // namespace dd_detail

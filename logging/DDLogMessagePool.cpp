#include "logging/DDLogMessagePool.h"

#include <pthread.h>

#include <atomic>

#include "platform/base/CpuPause.h"

namespace dd_detail {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooling = false;
#else
constexpr bool kPooling = true;
#endif

// Blocks start on a cache line, so that each has whole lines of its own. With the allocator's
// usual 16-byte alignment the last line of one block was the first of the next: the calling
// thread building a record in one and the logging thread reading or freeing its neighbour then
// passed that line between the two cores for every record, which halved end-to-end throughput.
constexpr std::size_t kCacheLine = 64;
static_assert(kRecordBlockSize % kCacheLine == 0);
constexpr std::align_val_t kAlign{kCacheLine};

// A free block. The first block of a chain on the shared stack also links the next chain and
// counts its own.
struct FreeBlock {
  FreeBlock* next;
  FreeBlock* nextChain;
  std::size_t blocks;
};
static_assert(sizeof(FreeBlock) <= kRecordBlockSize);

// The shared list is a stack of chains of up to kChainBlocks blocks each, linked through their
// first blocks, under a spin lock held for a few instructions: a thread takes one chain at a
// time, so several producing threads share the spare blocks fairly. Trivially destructible, so
// records released from exit handlers or late thread-local destructors still find the pool
// intact.
constinit std::atomic<bool> gLocked{false};
constinit FreeBlock* gChains = nullptr;
constinit std::atomic<std::size_t> gSharedBlocks{0};
constinit std::atomic<std::size_t> gMaxSharedBlocks{DDLogMessagePool::kDefaultMaximumSpareBytes /
                                                    kRecordBlockSize};

class SpinGuard {
 public:
  SpinGuard() noexcept {
    while (gLocked.exchange(true, std::memory_order_acquire)) {
      while (gLocked.load(std::memory_order_relaxed))
        platform::base::cpuPause();
    }
  }
  ~SpinGuard() { gLocked.store(false, std::memory_order_release); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;
};

struct Cache {
  FreeBlock* local;        // this thread's next blocks
  std::size_t localFreed;  // how many of them this thread freed itself (bounded)
  FreeBlock* chain;        // blocks on their way to the shared list
  std::size_t chainCount;
  bool registered;  // the thread-exit hook knows this cache
};
thread_local constinit Cache tCache{};

void releaseToSystem(FreeBlock* b) noexcept {
  while (b != nullptr) {
    FreeBlock* next = b->next;
    ::operator delete(static_cast<void*>(b), kAlign);
    b = next;
  }
}

// Hands a chain to the shared stack, or back to the system when the stack is full. The count
// changes only under the lock; it is atomic for the readers that do not take it.
void pushShared(FreeBlock* head, std::size_t n) noexcept {
  {
    SpinGuard guard;
    const std::size_t held = gSharedBlocks.load(std::memory_order_relaxed);
    if (held + n <= gMaxSharedBlocks.load(std::memory_order_relaxed)) {
      head->nextChain = gChains;
      head->blocks = n;
      gChains = head;
      gSharedBlocks.store(held + n, std::memory_order_relaxed);
      return;
    }
  }
  releaseToSystem(head);
}

// One chain from the shared stack, or null.
FreeBlock* popShared() noexcept {
  SpinGuard guard;
  FreeBlock* chain = gChains;
  if (chain == nullptr) return nullptr;
  gChains = chain->nextChain;
  gSharedBlocks.store(gSharedBlocks.load(std::memory_order_relaxed) - chain->blocks,
                      std::memory_order_relaxed);
  return chain;
}

// Runs when a thread that used the pool ends: its blocks go to the shared list (or back to the
// system beyond the bound).
void flushCache(void* p) noexcept {
  auto* c = static_cast<Cache*>(p);
  if (c->chain != nullptr) pushShared(c->chain, c->chainCount);
  std::size_t n = 0;
  for (FreeBlock* b = c->local; b != nullptr; b = b->next)
    ++n;
  if (c->local != nullptr) pushShared(c->local, n);
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
      c.local = popShared();
      if (c.local != nullptr) {
        c.localFreed = 0;
        registerCache(c);
      }
    }
    if (FreeBlock* b = c.local) {
      c.local = b->next;
      if (c.localFreed > 0) --c.localFreed;
      // The next block was most likely last written by another core (the logger that released
      // it): ask for its lines now, for writing, so that building the next record does not
      // wait for each of them in turn.
      if (c.local != nullptr) {
        const char* next = reinterpret_cast<const char*>(c.local);
        for (std::size_t off = 0; off < kRecordBlockSize; off += 64)
          __builtin_prefetch(next + off, 1);
      }
      return b;
    }
  }
  return ::operator new(kRecordBlockSize, kAlign);
}

void deallocateRecordBlock(void* block) noexcept {
  if constexpr (!kPooling) {
    ::operator delete(block, kAlign);
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
  c.chain = b;
  if (++c.chainCount == kChainBlocks) {
    pushShared(c.chain, c.chainCount);
    c.chain = nullptr;
    c.chainCount = 0;
  }
}

}  // namespace dd_detail

void DDLogMessagePool::setMaximumSpareBytes(std::size_t bytes) noexcept {
  using namespace dd_detail;
  const std::size_t maximum = bytes / kRecordBlockSize;
  FreeBlock* surplus = nullptr;
  {
    SpinGuard guard;
    gMaxSharedBlocks.store(maximum, std::memory_order_relaxed);
    std::size_t held = gSharedBlocks.load(std::memory_order_relaxed);
    while (held > maximum && gChains != nullptr) {
      FreeBlock* chain = gChains;
      gChains = chain->nextChain;
      held -= chain->blocks;
      chain->nextChain = surplus;
      surplus = chain;
    }
    gSharedBlocks.store(held, std::memory_order_relaxed);
  }
  // Freed outside the lock: the system allocator may take its own.
  while (surplus != nullptr) {
    FreeBlock* next = surplus->nextChain;
    releaseToSystem(surplus);
    surplus = next;
  }
}

std::size_t DDLogMessagePool::maximumSpareBytes() noexcept {
  return dd_detail::gMaxSharedBlocks.load(std::memory_order_relaxed) * dd_detail::kRecordBlockSize;
}

std::size_t DDLogMessagePool::spareBlocks() noexcept {
  return dd_detail::gSharedBlocks.load(std::memory_order_relaxed);
}

bool DDLogMessagePool::pooling() noexcept {
  return dd_detail::kPooling;
}

#include "platform/dispatch/WorkNode.h"

#include <pthread.h>

#include "platform/dispatch/GroupState.h"

namespace platform::dispatch::detail {
namespace {

// The pool is a global stack plus a cache per submitting thread. Consumers push chains onto
// the stack (a push-only CAS is immune to ABA); a producer whose cache is empty takes the whole
// stack at once with an exchange, which is equally safe. So neither side ever pops a single
// node from a shared list.
std::atomic<WorkNode*> gFree{nullptr};

struct ThreadCache {
  WorkNode* head;
};
// Trivially destructible on purpose: it may be used from exit handlers after the thread's
// C++ thread-local objects are gone. A key destructor returns it when a thread ends.
thread_local ThreadCache tCache{nullptr};

void pushChain(WorkNode* head, WorkNode* tail) {
  WorkNode* old = gFree.load(std::memory_order_relaxed);
  do {
    tail->next.store(old, std::memory_order_relaxed);
  } while (!gFree.compare_exchange_weak(old, head, std::memory_order_release,
                                        std::memory_order_relaxed));
}

void returnCache(void* p) {
  auto* cache = static_cast<ThreadCache*>(p);
  WorkNode* head = cache->head;
  if (!head) return;
  WorkNode* tail = head;
  while (WorkNode* n = tail->next.load(std::memory_order_relaxed))
    tail = n;
  cache->head = nullptr;
  pushChain(head, tail);
}

pthread_key_t cacheKey() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    pthread_key_create(&k, returnCache);
    return k;
  }();
  return key;
}

}  // namespace

WorkNode* allocNode() {
  ThreadCache& cache = tCache;
  if (!cache.head) {
    cache.head = gFree.exchange(nullptr, std::memory_order_acquire);
    if (cache.head) pthread_setspecific(cacheKey(), &cache);
  }
  if (WorkNode* n = cache.head) {
    cache.head = n->next.load(std::memory_order_relaxed);
    n->next.store(nullptr, std::memory_order_relaxed);
    // The next node was most likely last written by the core that ran it: ask for its lines
    // now, for writing, so that the next submission does not wait for them.
    if (cache.head != nullptr) {
      const char* next = reinterpret_cast<const char*>(cache.head);
      for (std::size_t off = 0; off < sizeof(WorkNode); off += 64)
        __builtin_prefetch(next + off, 1);
    }
    return n;
  }
  // Nodes are never given back to the allocator: the pool keeps the high-water mark, which
  // stays reachable from gFree or a thread cache.
  return new WorkNode();  // NOLINT(cppcoreguidelines-owning-memory): owned by the pool
}

void NodeRecycler::add(WorkNode* node) {
  node->group.reset();
  node->waiter = nullptr;
  node->barrier = false;
  node->next.store(head_, std::memory_order_relaxed);
  if (!tail_) tail_ = node;
  head_ = node;
}

void NodeRecycler::flush() {
  if (!head_) return;
  pushChain(head_, tail_);
  head_ = tail_ = nullptr;
}

}  // namespace platform::dispatch::detail

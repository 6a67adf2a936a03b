#pragma once
// Storage for log records, recycled across threads.
//
// A record is typically built on the calling thread and released on a logger's queue, another
// thread. With the general-purpose allocator that pattern is its worst case: the producer's
// per-thread cache is always empty, the consumer's is always full, and both meet on the same
// arena lock for every record. Records therefore come from fixed-size blocks kept on a shared
// stack of chains plus a small cache per thread:
// - a thread that frees a block keeps up to kLocalBlocks for its own next records and hands the
//   rest to the shared stack in chains of kChainBlocks, one short critical section per chain;
// - a thread whose cache is empty takes one chain, so several producing threads share the spare
//   blocks fairly;
// - the shared stack keeps at most DDLogMessagePool::maximumSpareBytes() of blocks; beyond that
//   they go back to the system.
//
// Memory kept after a burst: by default the spare blocks may grow to what a dispatcher's queue
// holds at its default bound (32 MiB), so that a second burst like the first reuses the first
// one's blocks instead of faulting fresh pages in on the calling thread, where the time of every
// log call is spent. A process that logs in rare large bursts and would rather give that memory
// back sets a smaller figure (0 keeps only the per-thread caches).
//
// Under AddressSanitizer every block comes from and goes back to the system allocator, so that
// use-after-free of a record stays detectable.

#include <cstddef>
#include <new>

struct DDLogMessagePool {
  static constexpr std::size_t kDefaultMaximumSpareBytes = 32 * 1024 * 1024;

  // At most `bytes` of spare blocks are kept from now on; blocks beyond it are freed at once.
  static void setMaximumSpareBytes(std::size_t bytes) noexcept;
  static std::size_t maximumSpareBytes() noexcept;
  // Blocks currently kept on the shared stack (for tests and diagnostics).
  static std::size_t spareBlocks() noexcept;
  // False where blocks come from and go back to the system allocator one by one.
  static bool pooling() noexcept;
};

namespace dd_detail {

inline constexpr std::size_t kRecordBlockSize = 768;
inline constexpr std::size_t kLocalBlocks = 16;
inline constexpr std::size_t kChainBlocks = 32;

void* allocateRecordBlock();
void deallocateRecordBlock(void* block) noexcept;
// An allocator for std::allocate_shared: requests that fit a block use the pool, others the
// system allocator.
template <class T>
struct DDLogMessageAllocator {
  using value_type = T;

  DDLogMessageAllocator() noexcept = default;
  template <class U>
  DDLogMessageAllocator(const DDLogMessageAllocator<U>&) noexcept {}

  static constexpr bool pooled(std::size_t n) {
    return alignof(T) <= alignof(std::max_align_t) && n <= kRecordBlockSize / sizeof(T);
  }

  T* allocate(std::size_t n) {
    if (pooled(n)) return static_cast<T*>(allocateRecordBlock());
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(alignof(T))));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (pooled(n)) {
      deallocateRecordBlock(p);
    } else {
      // The unsized form: the sized one is not declared where the compiler leaves sized
      // deallocation off (clang 14), and the allocator ignores the size anyway.
      ::operator delete(p, std::align_val_t(alignof(T)));
    }
  }

  template <class U>
  bool operator==(const DDLogMessageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace dd_detail

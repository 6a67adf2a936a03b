#pragma once
// The worker threads that drain serial queues and run concurrent-queue items.
//
// Sizing: up to processorCount()+1 workers that are not blocked are started on demand. A worker
// that waits inside Group::wait, Semaphore::wait or a sync wait counts as blocked, so a
// replacement may start at once (up to 512 threads in all, so that even a hundred queues whose
// items all wait for one another's work get through). Items can also block in ways the pool
// cannot see (a mutex, a read); a watcher therefore adds a worker when jobs have been pending
// for 25 ms without any worker taking one, as long as fewer than 64 workers are unblocked. Workers
// beyond the first processorCount()+1 that stay idle for 5 seconds retire. Idle workers spin for a
// few microseconds, then sleep on a condition variable; a submission wakes one only when none is
// spinning for work.
//
// A deferred submission (submitDeferred) wakes nobody: a worker that looks for work takes it as
// usual, and the watcher wakes one when the submission's window has passed. Jobs deferred within
// one window share that wake-up, which is what a queue fed one item at a time by a busy thread (a
// log line per request) wants. expedite() ends the window at once for a caller about to wait.
//
// The pool (like the event thread) does not survive fork(): the child has none of the parent's
// threads, so a child that wants to use queues must exec first.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace platform::dispatch {
class Queue;
}

namespace platform::dispatch::detail {

struct WorkNode;

class WorkerPool {
 public:
  // A serial queue to drain (node == nullptr) or one concurrent-queue item to run.
  struct Job {
    std::shared_ptr<Queue> queue;
    WorkNode* node = nullptr;
  };

  static WorkerPool& instance();

  WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(Job job);
  // Like submit, but a worker need not start before `window` has passed (see above).
  void submitDeferred(Job job, std::chrono::nanoseconds window);
  // Wakes a worker now for deferred jobs, if any wait (cheap when none does).
  void expedite();

  // True when jobs wait for a worker (a hint: read without the lock).
  bool hasPendingJobs() const { return pendingJobs_.load(std::memory_order_relaxed) != 0; }

  // Brackets a wait that may sleep. Only counts on the pool's own workers.
  void blockedEnter();
  void blockedLeave();

  static constexpr unsigned kMaxUnblocked = 64;
  static constexpr unsigned kMaxThreads = 512;

 private:
  void workerLoop();
  void watcherLoop();
  // With the lock held: wakes an idle worker or starts one for jobs nobody will take.
  void provideLocked();
  // With the lock held: ends the deferral window and provides workers for what waits.
  void provideDeferredLocked();
  bool spawnLocked();

  std::mutex m_;
  std::condition_variable workCv_;
  std::condition_variable watchCv_;
  std::deque<Job> jobs_;
  std::atomic<std::size_t> pendingJobs_{0};  // mirrors jobs_.size() for lock-free spinning
  unsigned threads_ = 0;
  unsigned idle_ = 0;        // asleep on workCv_
  unsigned wakeTokens_ = 0;  // notifications sent and not yet consumed
  unsigned spinning_ = 0;
  unsigned blocked_ = 0;
  std::uint64_t progress_ = 0;  // jobs taken so far
  bool watcherStarted_ = false;
  bool watcherAsleep_ = false;
  // When the watcher must provide workers for deferred jobs; time_point::max() when none wait.
  std::chrono::steady_clock::time_point deferredDue_ = std::chrono::steady_clock::time_point::max();
  std::atomic<bool> deferred_{false};  // deferredDue_ is set (a hint read without the lock)
  // The latest time the watcher looks again by itself: a timed wait's end, max() while it
  // sleeps until notified, min() while it is awake (it looks before it sleeps).
  std::chrono::steady_clock::time_point watchUntil_ = std::chrono::steady_clock::time_point::max();
  const unsigned softLimit_;
};

// Marks the calling thread as blocked for the pool while alive (no effect off the pool).
class BlockedScope {
 public:
  BlockedScope();
  ~BlockedScope();
  BlockedScope(const BlockedScope&) = delete;
  BlockedScope& operator=(const BlockedScope&) = delete;

 private:
  bool counted_;
};

}  // namespace platform::dispatch::detail

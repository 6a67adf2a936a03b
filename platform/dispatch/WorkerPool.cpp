#include "platform/dispatch/WorkerPool.h"

#include <chrono>

#include "platform/base/NoDestructor.h"
#include "platform/dispatch/QueueImpl.h"
#include "platform/dispatch/ThreadSupport.h"

namespace platform::dispatch::detail {
namespace {

thread_local bool tIsWorker = false;

constexpr auto kStallInterval = std::chrono::milliseconds(25);
constexpr auto kRetireAfter = std::chrono::seconds(5);

}  // namespace

WorkerPool& WorkerPool::instance() {
  static platform::base::NoDestructor<WorkerPool> pool;
  return *pool;
}

WorkerPool::WorkerPool() : softLimit_(processorCount() + 1) {}

void WorkerPool::submit(Job job) {
  std::lock_guard lock(m_);
  jobs_.push_back(std::move(job));
  pendingJobs_.store(jobs_.size(), std::memory_order_relaxed);
  provideLocked();
}

void WorkerPool::submitDeferred(Job job, std::chrono::nanoseconds window) {
  std::lock_guard lock(m_);
  jobs_.push_back(std::move(job));
  pendingJobs_.store(jobs_.size(), std::memory_order_relaxed);
  // A spinning worker takes it without any wake-up; an earlier deferred job already has the
  // watcher counting down, and this one goes with it.
  if (jobs_.size() <= static_cast<std::size_t>(spinning_) + wakeTokens_) return;
  if (deferred_.load(std::memory_order_relaxed)) return;
  deferredDue_ = std::chrono::steady_clock::now() + window;
  deferred_.store(true, std::memory_order_relaxed);
  if (!watcherStarted_) {
    watcherStarted_ = startThread("dispatch-watch", [this] { watcherLoop(); });
    // Without a watcher nobody would end the window: wake a worker now.
    if (!watcherStarted_) provideDeferredLocked();
  } else if (deferredDue_ < watchUntil_) {
    watchCv_.notify_one();
  }
}

void WorkerPool::expedite() {
  if (!deferred_.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(m_);
  if (deferred_.load(std::memory_order_relaxed)) provideDeferredLocked();
}

void WorkerPool::provideDeferredLocked() {
  deferred_.store(false, std::memory_order_relaxed);
  deferredDue_ = std::chrono::steady_clock::time_point::max();
  provideLocked();
}

void WorkerPool::provideLocked() {
  std::size_t unserved = jobs_.size();
  std::size_t coming = static_cast<std::size_t>(spinning_) + wakeTokens_;
  if (unserved <= coming) return;
  if (idle_ > wakeTokens_) {
    ++wakeTokens_;
    workCv_.notify_one();
    return;
  }
  if (threads_ - blocked_ < softLimit_ && threads_ < kMaxThreads && spawnLocked()) return;
  // Every worker is busy: let the watcher add one if none of them makes progress.
  if (!watcherStarted_) {
    watcherStarted_ = startThread("dispatch-watch", [this] { watcherLoop(); });
  } else if (watcherAsleep_) {
    watchCv_.notify_one();
  }
}

bool WorkerPool::spawnLocked() {
  ++threads_;
  if (!startThread("dispatch-worker", [this] { workerLoop(); })) {
    --threads_;
    return false;
  }
  return true;
}

void WorkerPool::workerLoop() {
  tIsWorker = true;
  std::unique_lock lock(m_);
  for (;;) {
    if (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      pendingJobs_.store(jobs_.size(), std::memory_order_relaxed);
      ++progress_;
      lock.unlock();
      QueueImpl::runJob(std::move(job));
      lock.lock();
      continue;
    }
    ++spinning_;
    lock.unlock();
    spinFor([this] { return pendingJobs_.load(std::memory_order_relaxed) != 0; }, kSpinLimit);
    lock.lock();
    --spinning_;
    if (!jobs_.empty()) continue;
    // A job that arrived while this worker spun counted on it; now that it goes to sleep, make
    // sure someone else takes it.
    ++idle_;
    bool timedOut = workCv_.wait_for(lock, kRetireAfter) == std::cv_status::timeout;
    --idle_;
    if (wakeTokens_ > 0) --wakeTokens_;
    if (timedOut && jobs_.empty() && threads_ > softLimit_) {
      --threads_;
      return;
    }
  }
}

void WorkerPool::watcherLoop() {
  std::unique_lock lock(m_);
  for (;;) {
    while (jobs_.empty() && !deferred_.load(std::memory_order_relaxed)) {
      watcherAsleep_ = true;
      watchUntil_ = std::chrono::steady_clock::time_point::max();
      watchCv_.wait(lock);
      watchUntil_ = std::chrono::steady_clock::time_point::min();
      watcherAsleep_ = false;
    }
    if (deferred_.load(std::memory_order_relaxed)) {
      // Deferred jobs that come meanwhile need no notification: this wait ends when their
      // window does (an earlier window, after expedite(), notifies: see submitDeferred).
      watchUntil_ = deferredDue_;
      watchCv_.wait_until(lock, watchUntil_);
      watchUntil_ = std::chrono::steady_clock::time_point::min();
      if (deferred_.load(std::memory_order_relaxed) &&
          std::chrono::steady_clock::now() >= deferredDue_) {
        provideDeferredLocked();
      }
      continue;
    }
    std::uint64_t seen = progress_;
    watchUntil_ = std::chrono::steady_clock::now() + kStallInterval;
    watchCv_.wait_until(lock, watchUntil_);
    watchUntil_ = std::chrono::steady_clock::time_point::min();
    if (!jobs_.empty() && progress_ == seen && idle_ <= wakeTokens_ &&
        threads_ - blocked_ < kMaxUnblocked && threads_ < kMaxThreads) {
      spawnLocked();
    }
  }
}

void WorkerPool::blockedEnter() {
  std::lock_guard lock(m_);
  ++blocked_;
  provideLocked();
}

void WorkerPool::blockedLeave() {
  std::lock_guard lock(m_);
  --blocked_;
}

BlockedScope::BlockedScope() : counted_(tIsWorker) {
  if (counted_) WorkerPool::instance().blockedEnter();
}

BlockedScope::~BlockedScope() {
  if (counted_) WorkerPool::instance().blockedLeave();
}

}  // namespace platform::dispatch::detail

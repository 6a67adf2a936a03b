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
    while (jobs_.empty()) {
      watcherAsleep_ = true;
      watchCv_.wait(lock);
      watcherAsleep_ = false;
    }
    std::uint64_t seen = progress_;
    watchCv_.wait_for(lock, kStallInterval);
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

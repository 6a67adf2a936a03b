#pragma once
// The machinery behind Queue: the per-thread chain of queues being run, serial queues (a
// lock-free multi-producer list with a pending count), concurrent queues (parallel items and
// barriers), and the main queue (drained by the main thread only).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/WorkNode.h"
#include "platform/dispatch/WorkerPool.h"

namespace platform::dispatch::detail {

// One queue the calling thread runs an item of. Frames link the nested syncs of one thread;
// an item run by another thread on behalf of a sync caller links to the caller's frames.
struct Frame {
  Queue* queue;
  const Frame* parent;
};

// Sets the calling thread's current frame while alive.
class FrameScope {
 public:
  FrameScope(Queue* queue, const Frame* parent);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
  const Frame* saved_;
};

const Frame* currentFrames();

// Runs one item (or one handler inside an item) of `queue`; whatever it throws ends here and is
// reported as a contract violation (the rule is in Queue.h).
void runGuarded(const Queue& queue, Queue::FunctionRef item) noexcept;

}  // namespace platform::dispatch::detail

namespace platform::dispatch {

class QueueImpl {
 public:
  enum class Role : std::uint8_t { Serial, Concurrent, Main };

  QueueImpl(Queue& owner, Role role);
  ~QueueImpl();
  QueueImpl(const QueueImpl&) = delete;
  QueueImpl& operator=(const QueueImpl&) = delete;

  static QueueImpl& of(Queue& q) { return *q.impl_; }
  static const QueueImpl& of(const Queue& q) { return *q.impl_; }

  void async(Block work, std::shared_ptr<Group::State> group, bool barrier);
  // Serial queues: async, returning the item's node (see TrackedItem.h).
  const void* asyncTracked(Block work);
  bool isLastQueued(const void* item) const {
    return tail_.load(std::memory_order_acquire) == item;
  }
  void asyncInGroup(Group& group, Block work);
  void sync(Queue::FunctionRef f, bool barrier);
  bool tryRunInline(Queue::FunctionRef f, bool drain);
  // See WakeDeferral.h.
  bool deferWakeUps(std::chrono::nanoseconds window);

  void setSpecific(const void* key, void* value);
  void* getSpecific(const void* key) const;

  // Runs one job taken from the worker pool.
  static void runJob(detail::WorkerPool::Job job);

  // Main queue only: drains on the calling (main) thread.
  std::size_t runMain(Time until, bool forever);
  void stopMain();

 private:
  using WorkNode = detail::WorkNode;
  using SyncWaiter = detail::SyncWaiter;

  static void runNode(Queue& queue, WorkNode* node);
  static void waitForTurn(SyncWaiter& waiter);
  static void handOff(SyncWaiter& waiter);

  // Serial
  void enqueueSerial(WorkNode* node);  // links and counts an item, waking a worker if idle
  void pushSerial(WorkNode* node);
  WorkNode* popSerial();
  // `parent`: the frames of the thread that drains, when it is not a worker of the pool.
  void drainSerial(std::shared_ptr<Queue> self, const detail::Frame* parent = nullptr);
  void syncSerial(Queue::FunctionRef f);
  // Takes the queue for the calling thread when nothing is queued or running (count_ from 0 to 1
  // and no item linked).
  bool claimIdleSerial();
  void releaseSerial();

  // Concurrent
  void asyncConcurrent(WorkNode* node);
  void syncConcurrent(Queue::FunctionRef f, bool barrier);
  void finishConcurrent(bool barrier);
  void startConcurrent(WorkNode* node);

  // Main
  void asyncMain(WorkNode* node);
  void syncMain(Queue::FunctionRef f);

  Queue& owner_;
  const Role role_;

  // Serial: producers link nodes at tail_; the single consumer (whoever moved count_ off zero
  // or was handed the queue) reads from head_. count_ counts items queued or running.
  alignas(64) std::atomic<WorkNode*> tail_;
  alignas(64) std::atomic<std::uint64_t> count_{0};
  alignas(64) WorkNode* head_;
  WorkNode stub_;
  // Serial: how long a worker's start may wait after an item made the queue busy (0: none).
  std::atomic<std::int64_t> wakeWindowNs_{0};

  // Concurrent and main
  std::mutex m_;
  std::condition_variable mainCv_;
  std::deque<WorkNode*> waiting_;
  unsigned running_ = 0;
  bool barrierActive_ = false;
  bool mainStop_ = false;

  // Queue-specific values: set rarely, read on every lookup.
  mutable std::mutex specificM_;
  std::vector<std::pair<const void*, void*>> specifics_;
};

}  // namespace platform::dispatch

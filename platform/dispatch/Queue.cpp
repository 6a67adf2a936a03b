#include "platform/dispatch/Queue.h"

#include <sched.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <exception>
#include <string>

#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/GroupState.h"
#include "platform/dispatch/QueueImpl.h"
#include "platform/dispatch/ThreadSupport.h"
#include "platform/dispatch/TimerScheduling.h"
#include "platform/dispatch/TrackedItem.h"
#include "platform/dispatch/WaitSupport.h"
#include "platform/dispatch/WakeDeferral.h"

namespace platform::dispatch {
namespace detail {
namespace {

// Trivially destructible so that it stays usable from exit handlers on any thread.
thread_local const Frame* tFrames = nullptr;

}  // namespace

FrameScope::FrameScope(Queue* queue, const Frame* parent) : frame_{queue, parent}, saved_(tFrames) {
  tFrames = &frame_;
}

FrameScope::~FrameScope() {
  tFrames = saved_;
}

const Frame* currentFrames() {
  return tFrames;
}

}  // namespace detail

namespace {

using detail::Frame;
using detail::FrameScope;
using detail::SyncWaiter;
using detail::WorkerPool;
using detail::WorkNode;

// Items a serial queue runs before it lets its worker serve other queues.
constexpr unsigned kBatch = 64;

bool inChain(const Frame* f, const Queue* q) {
  for (; f; f = f->parent) {
    if (f->queue == q) return true;
  }
  return false;
}

const std::string& emptyLabel() {
  static platform::base::NoDestructor<std::string> empty;
  return *empty;
}

void reportEscapedException(const Queue& q, const char* what) {
  std::string text("dispatch: an item of ");
  text.append(q.label()).append(" threw an exception (").append(what);
  text.append("); it is dropped and the queue goes on");
  platform::diagnostics::contractViolation(text);
}

void reportSelfSync(const Queue& q) {
  std::string text("dispatch: sync onto a queue the caller is running on would deadlock (");
  text.append(q.label());
  text.push_back(')');
  platform::diagnostics::contractViolation(text);
}

}  // namespace

namespace detail {

void runGuarded(const Queue& queue, Queue::FunctionRef item) noexcept {
  try {
    item();
  } catch (const std::exception& e) {
    reportEscapedException(queue, e.what());
  } catch (...) {
    reportEscapedException(queue, "not a std::exception");
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// QueueImpl

QueueImpl::QueueImpl(Queue& owner, Role role)
    : owner_(owner), role_(role), tail_(&stub_), head_(&stub_) {}

QueueImpl::~QueueImpl() {
  // Every item holds the queue alive until it ran, so nothing is left here; recycle defensively.
  detail::NodeRecycler recycler;
  for (WorkNode* n : waiting_) {
    n->block.reset();
    recycler.add(n);
  }
}

void QueueImpl::runNode(Queue& queue, WorkNode* node) {
  detail::runGuarded(queue, Queue::FunctionRef(node->block));
  // Captures are released before anyone can observe that the item finished.
  node->block.reset();
  if (node->group) {
    std::shared_ptr<Group::State> group = std::move(node->group);
    group->leave();
  }
}

void QueueImpl::waitForTurn(SyncWaiter& waiter) {
  auto ready = [&] { return waiter.state.load(std::memory_order_acquire) >= SyncWaiter::YourTurn; };
  if (detail::spinFor(ready, detail::kSpinLimit)) return;
  detail::BlockedScope blocked;
  for (;;) {
    std::uint32_t s = waiter.state.load(std::memory_order_acquire);
    if (s >= SyncWaiter::YourTurn) return;
    if (s == SyncWaiter::Waiting &&
        !waiter.state.compare_exchange_strong(s, SyncWaiter::Sleeping, std::memory_order_acquire)) {
      continue;
    }
    detail::futexWait(waiter.state, SyncWaiter::Sleeping, Time::forever());
  }
}

void QueueImpl::handOff(SyncWaiter& waiter) {
  if (waiter.state.exchange(SyncWaiter::YourTurn, std::memory_order_acq_rel) ==
      SyncWaiter::Sleeping) {
    detail::futexWakeAll(waiter.state);
  }
}

void QueueImpl::runJob(WorkerPool::Job job) {
  QueueImpl& impl = *job.queue->impl_;
  if (!job.node) {
    impl.drainSerial(std::move(job.queue));
    return;
  }
  {
    FrameScope frame(job.queue.get(), nullptr);
    runNode(*job.queue, job.node);
  }
  bool barrier = job.node->barrier;
  detail::NodeRecycler recycler;
  recycler.add(job.node);
  impl.finishConcurrent(barrier);
}

void QueueImpl::async(Block work, std::shared_ptr<Group::State> group, bool barrier) {
  WorkNode* node = detail::allocNode();
  node->block = std::move(work);
  node->group = std::move(group);
  node->barrier = barrier;
  switch (role_) {
    case Role::Serial:
      enqueueSerial(node);
      break;
    case Role::Concurrent:
      asyncConcurrent(node);
      break;
    case Role::Main:
      asyncMain(node);
      break;
  }
}

const void* QueueImpl::asyncTracked(Block work) {
  if (role_ != Role::Serial) {
    async(std::move(work), nullptr, false);
    return nullptr;
  }
  WorkNode* node = detail::allocNode();
  node->block = std::move(work);
  node->group = nullptr;
  node->barrier = false;
  // Every item queued behind this one (async or a waiting sync) is linked at tail_, and taking
  // this node off the queue while it is the last one links the stub in its place: either way
  // tail_ stops being this node.
  enqueueSerial(node);
  return node;
}

void QueueImpl::asyncInGroup(Group& group, Block work) {
  group.state_->enter();
  async(std::move(work), group.state_, false);
}

void QueueImpl::sync(Queue::FunctionRef f, bool barrier) {
  const Frame* frames = detail::currentFrames();
  bool onIt = inChain(frames, &owner_) || (role_ == Role::Main && detail::isMainThread());
  if (onIt) {
    // A plain sync onto a concurrent queue from one of its own items cannot deadlock when it
    // runs at once: the caller already holds its place on the queue.
    if (role_ == Role::Concurrent && !barrier) {
      FrameScope frame(&owner_, frames);
      detail::runGuarded(owner_, f);
      return;
    }
    reportSelfSync(owner_);
    return;
  }
  switch (role_) {
    case Role::Serial:
      syncSerial(f);
      break;
    case Role::Concurrent:
      syncConcurrent(f, barrier);
      break;
    case Role::Main:
      syncMain(f);
      break;
  }
}

// --- serial -------------------------------------------------------------------------------------

void QueueImpl::enqueueSerial(WorkNode* node) {
  pushSerial(node);
  if (count_.fetch_add(1, std::memory_order_acq_rel) == 0) {
    const std::int64_t window = wakeWindowNs_.load(std::memory_order_relaxed);
    if (window > 0) {
      WorkerPool::instance().submitDeferred({owner_.shared_from_this(), nullptr},
                                            std::chrono::nanoseconds(window));
    } else {
      WorkerPool::instance().submit({owner_.shared_from_this(), nullptr});
    }
  }
}

void QueueImpl::pushSerial(WorkNode* node) {
  node->next.store(nullptr, std::memory_order_relaxed);
  WorkNode* prev = tail_.exchange(node, std::memory_order_acq_rel);
  prev->next.store(node, std::memory_order_release);
}

WorkNode* QueueImpl::popSerial() {
  WorkNode* head = head_;
  WorkNode* next = head->next.load(std::memory_order_acquire);
  if (head == &stub_) {
    if (!next) return nullptr;
    head_ = next;
    head = next;
    next = next->next.load(std::memory_order_acquire);
  }
  if (next) {
    head_ = next;
    return head;
  }
  if (head != tail_.load(std::memory_order_acquire)) return nullptr;  // a push is half done
  pushSerial(&stub_);
  next = head->next.load(std::memory_order_acquire);
  if (next) {
    head_ = next;
    return head;
  }
  return nullptr;
}

void QueueImpl::drainSerial(std::shared_ptr<Queue> self, const detail::Frame* parent) {
  detail::NodeRecycler recycler;
  FrameScope frame(&owner_, parent);
  // count_ is settled once per burst rather than once per item. A node can be linked before
  // its producer counts it, so the drainer never runs more items than it has seen counted
  // (`counted`); running an uncounted one would let the count reach zero under a live drainer.
  std::uint64_t counted = count_.load(std::memory_order_acquire);
  std::uint64_t unsettled = 0;
  for (unsigned ran = 0;;) {
    if (unsettled == counted) {
      // Everything counted has run. Before giving the queue up, linger briefly for a producer
      // that is about to add more: a steady producer that is a little slower than this drainer
      // would otherwise make every item take the queue from idle to busy, paying a hand-off
      // through the worker pool (and often a wake-up) per item. Lingering stops at once when
      // other queues have jobs waiting for a worker.
      detail::spinFor(
          [&] {
            return count_.load(std::memory_order_acquire) != counted ||
                   WorkerPool::instance().hasPendingJobs();
          },
          detail::kLingerLimit);
      std::uint64_t now = count_.load(std::memory_order_acquire);
      if (now != counted) {
        counted = now;
        continue;
      }
      counted = count_.fetch_sub(unsettled, std::memory_order_acq_rel) - unsettled;
      unsettled = 0;
      if (counted == 0) return;
    }
    // A counted item may still be half linked in by its producer.
    WorkNode* node = popSerial();
    for (int spins = 0; !node; node = popSerial()) {
      if (++spins < 100) {
        platform::base::cpuPause();
      } else {
        sched_yield();
      }
    }
    if (SyncWaiter* waiter = node->waiter) {
      // The sync caller runs its item itself and then owns the queue; its own item keeps
      // count_ above zero, so nobody else can claim the queue in between.
      if (unsettled > 0) count_.fetch_sub(unsettled, std::memory_order_acq_rel);
      recycler.add(node);
      recycler.flush();
      handOff(*waiter);
      return;
    }
    runNode(owner_, node);
    recycler.add(node);
    ++unsettled;
    if (++ran == kBatch) {
      std::uint64_t left = count_.fetch_sub(unsettled, std::memory_order_acq_rel) - unsettled;
      recycler.flush();
      if (left != 0) WorkerPool::instance().submit({std::move(self), nullptr});
      return;
    }
  }
}

bool QueueImpl::claimIdleSerial() {
  std::uint64_t idle = 0;
  if (!count_.compare_exchange_strong(idle, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
    return false;
  }
  // The count can reach zero while items are still linked: a producer that linked an item and
  // was preempted before counting it lets the drainer run that item against the count of an item
  // linked after it, and the later item then waits for the first producer's count. Running here
  // would overtake it, and with it everything its own producer queued before this call. The
  // queue is ours (the count is), so its head can be read.
  const bool empty = head_ == &stub_ && stub_.next.load(std::memory_order_acquire) == nullptr &&
                     tail_.load(std::memory_order_acquire) == &stub_;
  if (empty) return true;
  releaseSerial();
  return false;
}

void QueueImpl::syncSerial(Queue::FunctionRef f) {
  if (!claimIdleSerial()) {
    SyncWaiter waiter(f, detail::currentFrames());
    WorkNode* node = detail::allocNode();
    node->waiter = &waiter;
    pushSerial(node);
    if (count_.fetch_add(1, std::memory_order_acq_rel) == 0) {
      // The queue went idle meanwhile, but other producers may have linked items ahead of ours:
      // let a worker drain up to our node.
      WorkerPool::instance().submit({owner_.shared_from_this(), nullptr});
    } else if (wakeWindowNs_.load(std::memory_order_relaxed) > 0) {
      // Items ahead of ours may wait for a deferred wake-up: this caller waits now.
      WorkerPool::instance().expedite();
    }
    waitForTurn(waiter);
  }
  {
    FrameScope frame(&owner_, detail::currentFrames());
    detail::runGuarded(owner_, f);
  }
  releaseSerial();
}

bool QueueImpl::tryRunInline(Queue::FunctionRef f, bool drain) {
  if (role_ != Role::Serial || !claimIdleSerial()) return false;
  {
    FrameScope frame(&owner_, detail::currentFrames());
    detail::runGuarded(owner_, f);
  }
  if (!drain) {
    releaseSerial();
    return true;
  }
  // Items came in while `f` ran: this thread drains them instead of submitting the queue to
  // the pool, which is what releaseSerial would do.
  if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1)
    drainSerial(owner_.shared_from_this(), detail::currentFrames());
  return true;
}

bool QueueImpl::deferWakeUps(std::chrono::nanoseconds window) {
  if (role_ != Role::Serial) return false;
  wakeWindowNs_.store(window.count() > 0 ? window.count() : 0, std::memory_order_relaxed);
  return true;
}

void QueueImpl::releaseSerial() {
  if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    WorkerPool::instance().submit({owner_.shared_from_this(), nullptr});
  }
}

// --- concurrent ---------------------------------------------------------------------------------

void QueueImpl::asyncConcurrent(WorkNode* node) {
  {
    std::lock_guard lock(m_);
    if (!waiting_.empty() || barrierActive_ || (node->barrier && running_ > 0)) {
      waiting_.push_back(node);
      return;
    }
    ++running_;
    barrierActive_ = node->barrier;
  }
  startConcurrent(node);
}

void QueueImpl::startConcurrent(WorkNode* node) {
  if (SyncWaiter* waiter = node->waiter) {
    detail::NodeRecycler recycler;
    recycler.add(node);
    recycler.flush();
    handOff(*waiter);
    return;
  }
  WorkerPool::instance().submit({owner_.shared_from_this(), node});
}

void QueueImpl::finishConcurrent(bool barrier) {
  std::vector<WorkNode*> start;
  {
    std::lock_guard lock(m_);
    --running_;
    if (barrier) barrierActive_ = false;
    while (!waiting_.empty() && !barrierActive_) {
      WorkNode* next = waiting_.front();
      if (next->barrier) {
        if (running_ > 0) break;
        barrierActive_ = true;
      }
      waiting_.pop_front();
      ++running_;
      start.push_back(next);
    }
  }
  for (WorkNode* n : start)
    startConcurrent(n);
}

void QueueImpl::syncConcurrent(Queue::FunctionRef f, bool barrier) {
  bool runNow = false;
  SyncWaiter waiter(f, detail::currentFrames());
  {
    std::lock_guard lock(m_);
    if (waiting_.empty() && !barrierActive_ && (!barrier || running_ == 0)) {
      ++running_;
      barrierActive_ = barrier;
      runNow = true;
    } else {
      WorkNode* node = detail::allocNode();
      node->waiter = &waiter;
      node->barrier = barrier;
      waiting_.push_back(node);
    }
  }
  if (!runNow) waitForTurn(waiter);
  {
    FrameScope frame(&owner_, detail::currentFrames());
    detail::runGuarded(owner_, f);
  }
  finishConcurrent(barrier);
}

// --- main ---------------------------------------------------------------------------------------

void QueueImpl::asyncMain(WorkNode* node) {
  std::lock_guard lock(m_);
  waiting_.push_back(node);
  mainCv_.notify_one();
}

void QueueImpl::syncMain(Queue::FunctionRef f) {
  SyncWaiter waiter(f, detail::currentFrames());
  WorkNode* node = detail::allocNode();
  node->waiter = &waiter;
  asyncMain(node);
  waitForTurn(waiter);
}

std::size_t QueueImpl::runMain(Time until, bool forever) {
  std::size_t ran = 0;
  std::unique_lock lock(m_);
  mainStop_ = false;
  for (;;) {
    if (!forever && (mainStop_ || until.remaining().count() == 0)) break;
    if (waiting_.empty()) {
      detail::waitUntil(mainCv_, lock, forever ? Time::forever() : until);
      continue;
    }
    WorkNode* node = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    if (SyncWaiter* waiter = node->waiter) {
      {
        FrameScope frame(&owner_, waiter->callerFrames);
        detail::runGuarded(owner_, waiter->work);
      }
      if (waiter->state.exchange(SyncWaiter::Done, std::memory_order_acq_rel) ==
          SyncWaiter::Sleeping) {
        detail::futexWakeAll(waiter->state);
      }
    } else {
      FrameScope frame(&owner_, nullptr);
      runNode(owner_, node);
    }
    {
      detail::NodeRecycler recycler;
      recycler.add(node);
    }
    ++ran;
    lock.lock();
  }
  mainStop_ = false;
  return ran;
}

void QueueImpl::stopMain() {
  std::lock_guard lock(m_);
  mainStop_ = true;
  mainCv_.notify_one();
}

// --- specifics ----------------------------------------------------------------------------------

void QueueImpl::setSpecific(const void* key, void* value) {
  std::lock_guard lock(specificM_);
  for (auto it = specifics_.begin(); it != specifics_.end(); ++it) {
    if (it->first == key) {
      if (value) {
        it->second = value;
      } else {
        specifics_.erase(it);
      }
      return;
    }
  }
  if (value) specifics_.emplace_back(key, value);
}

void* QueueImpl::getSpecific(const void* key) const {
  std::lock_guard lock(specificM_);
  for (const auto& [k, v] : specifics_) {
    if (k == key) return v;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Queue

Queue::Queue(std::string label, QoS qos, Kind kind)
    : label_(std::move(label)),
      qos_(qos),
      kind_(kind),
      impl_(std::make_unique<QueueImpl>(
          *this, kind == Kind::Serial ? QueueImpl::Role::Serial : QueueImpl::Role::Concurrent)) {}

Queue::~Queue() = default;

std::shared_ptr<Queue> Queue::makeSerial(std::string label, QoS qos) {
  return std::shared_ptr<Queue>(new Queue(std::move(label), qos, Kind::Serial));
}

std::shared_ptr<Queue> Queue::makeConcurrent(std::string label, QoS qos) {
  return std::shared_ptr<Queue>(new Queue(std::move(label), qos, Kind::Concurrent));
}

// The main queue is labelled "main" and runs at the user-interactive class, the class of the
// thread that serves the user in an application.
const std::shared_ptr<Queue>& Queue::main() {
  static platform::base::NoDestructor<std::shared_ptr<Queue>> q([] {
    std::shared_ptr<Queue> m(new Queue("main", QoS::UserInteractive, Kind::Serial));
    m->impl_ = std::make_unique<QueueImpl>(*m, QueueImpl::Role::Main);
    return m;
  }());
  return *q;
}

// Global queues are labelled "global." followed by the class name of QoS's toString()
// ("global.default", "global.user-initiated", ...).
const std::shared_ptr<Queue>& Queue::global(QoS qos) {
  static platform::base::NoDestructor<std::array<std::shared_ptr<Queue>, 6>> queues([] {
    std::array<std::shared_ptr<Queue>, 6> a;
    for (int i = 1; i < 6; ++i) {
      auto c = static_cast<QoS>(i);
      a[i] = makeConcurrent("global." + std::string(toString(c)), c);
    }
    a[0] = a[static_cast<int>(QoS::Default)];
    return a;
  }());
  auto index = static_cast<std::size_t>(qos);
  if (index >= queues->size()) index = static_cast<std::size_t>(QoS::Default);
  return (*queues)[index];
}

// A thread that runs no queue item has no current queue; its label is the empty string and its
// class Unspecified. The main thread outside dispatchMain() counts as running the main queue.
Queue* Queue::current() {
  if (const Frame* f = detail::currentFrames()) return f->queue;
  return detail::isMainThread() ? main().get() : nullptr;
}

const std::string& Queue::currentLabel() {
  Queue* q = current();
  return q ? q->label() : emptyLabel();
}

QoS Queue::currentQoS() {
  Queue* q = current();
  return q ? q->qos() : QoS::Unspecified;
}

bool Queue::isCurrentlyOn(const Queue& q) {
  if (inChain(detail::currentFrames(), &q)) return true;
  return &q == main().get() && detail::isMainThread();
}

void Queue::async(Block work) {
  if (!work) return;
  impl_->async(std::move(work), nullptr, false);
}

void Queue::async(Group& group, Block work) {
  if (!work) return;
  impl_->asyncInGroup(group, std::move(work));
}

void Queue::asyncAfter(Time deadline, Block work) {
  if (!work) return;
  if (deadline.remaining().count() == 0) {
    async(std::move(work));
    return;
  }
  detail::scheduleAfter(shared_from_this(), deadline, std::move(work));
}

void Queue::asyncBarrier(Block work) {
  if (!work) return;
  impl_->async(std::move(work), nullptr, true);
}

bool Queue::tryRunInlineRef(FunctionRef f, bool drain) {
  return impl_->tryRunInline(f, drain);
}

void Queue::syncRef(FunctionRef f, bool barrier) {
  impl_->sync(f, barrier);
}

void Queue::setSpecific(const void* key, void* value) {
  impl_->setSpecific(key, value);
}

void* Queue::getSpecific(const void* key) const {
  return impl_->getSpecific(key);
}

void* Queue::getSpecificCurrent(const void* key) {
  Queue* q = current();
  return q ? q->getSpecific(key) : nullptr;
}

[[noreturn]] void dispatchMain() {
  if (!detail::isMainThread()) {
    platform::diagnostics::contractViolation("dispatch: dispatchMain() called off the main thread");
    // Parking this thread for good is still what the caller asked for.
    for (;;)
      pause();
  }
  QueueImpl::of(*Queue::main()).runMain(Time::forever(), true);
  for (;;)
    pause();  // not reached: the forever loop does not return
}

std::size_t runMainQueue(Time until) {
  if (!detail::isMainThread()) {
    platform::diagnostics::contractViolation("dispatch: runMainQueue() called off the main thread");
    return 0;
  }
  return QueueImpl::of(*Queue::main()).runMain(until, false);
}

void stopMainQueue() {
  QueueImpl::of(*Queue::main()).stopMain();
}

unsigned processorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1U;
}

TrackedItem asyncTracked(Queue& queue, Block work) {
  if (!work) return nullptr;
  return QueueImpl::of(queue).asyncTracked(std::move(work));
}

bool isLastQueued(const Queue& queue, TrackedItem item) {
  return item != nullptr && QueueImpl::of(queue).isLastQueued(item);
}

bool deferWakeUps(Queue& queue, std::chrono::nanoseconds window) {
  return QueueImpl::of(queue).deferWakeUps(window);
}

}  // namespace platform::dispatch

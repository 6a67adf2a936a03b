#pragma once
// Dispatch queues: serial and concurrent queues with a label and a quality-of-service class, the
// main queue, the global concurrent queues, asynchronous and synchronous submission, barriers and
// queue-specific keys.
//
// Rules every user relies on:
// - A serial queue runs one item at a time, in submission order. A concurrent queue may run many
//   at once; a barrier item waits for everything submitted before it and holds back everything
//   submitted after it.
// - `async` never blocks and makes no system call unless it has to wake a sleeping worker.
// - `sync` on an idle serial queue runs the item inline on the calling thread; otherwise the
//   caller waits until the item has run. `sync` onto a queue the calling thread is already
//   running on (directly or through nested `sync`s) would deadlock: it is reported as a contract
//   violation and the item is not run. (A plain `sync` onto a concurrent queue from one of its
//   own items cannot deadlock and simply runs the item at once; a `syncBarrier` is reported.)
// - No exception leaves a queue item. Whatever an item throws (async, sync, barrier, group or
//   main-queue item, source handler) is caught at the item's boundary and reported as a
//   contract violation with the queue's label and the exception's text, "dispatch: an item of
//   <label> threw an exception (<what>); it is dropped and the queue goes on". The queue then
//   goes on as if the item had returned: later items run, a sync caller returns (a sync with a
//   result returns the default value, as for a refused sync), a group is left. Items are
//   expected to handle their own failures; this keeps one that does not from stopping a queue
//   for good or ending the process on a worker thread.
// - Queue-specific values are looked up on the queue the current item runs on.
// - The main queue is drained only by the main thread inside `dispatchMain()`.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/dispatch/Block.h"
#include "platform/dispatch/QoS.h"
#include "platform/dispatch/Time.h"

namespace platform::dispatch {

class Group;
class QueueImpl;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  enum class Kind : std::uint8_t { Serial, Concurrent };

  static std::shared_ptr<Queue> makeSerial(std::string label, QoS qos = QoS::Default);
  static std::shared_ptr<Queue> makeConcurrent(std::string label, QoS qos = QoS::Default);
  // The main queue; its items run only on the main thread inside dispatchMain().
  static const std::shared_ptr<Queue>& main();
  // The process-wide concurrent queue of a class (Unspecified maps to Default), labelled
  // "global." plus the class's toString() name: "global.default", "global.user-initiated"...
  static const std::shared_ptr<Queue>& global(QoS qos = QoS::Default);

  // The queue whose item the calling thread is running, or nullptr on a thread that runs no
  // queue item (the main thread outside dispatchMain() counts as running the main queue).
  static Queue* current();
  // The label of current(), or the empty string on a thread that runs no queue item.
  static const std::string& currentLabel();
  // The quality-of-service class of the calling thread: that of the queue whose item it runs,
  // else Unspecified.
  static QoS currentQoS();
  // True when the calling thread runs an item of `q`, directly or through nested sync calls.
  static bool isCurrentlyOn(const Queue& q);

  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const { return label_; }
  QoS qos() const { return qos_; }
  Kind kind() const { return kind_; }
  bool isSerial() const { return kind_ == Kind::Serial; }

  void async(Block work);
  // enter()s the group now and leave()s it after the item has run.
  void async(Group& group, Block work);
  void asyncAfter(Time deadline, Block work);
  // On a concurrent queue, waits for prior items and holds back later ones; on a serial queue
  // the same as async.
  void asyncBarrier(Block work);

  // Runs `f` on this queue and waits for it; returns what `f` returns. A call that would wait
  // on itself (a sync onto the serial queue the caller is running on) is refused with a
  // contract violation: `f` does not run and the result is a value-initialized R.
  template <class F>
  auto sync(F&& f) -> std::invoke_result_t<F&> {
    return syncWith(f, false);
  }
  template <class F>
  auto syncBarrier(F&& f) -> std::invoke_result_t<F&> {
    return syncWith(f, true);
  }

  // Runs `f` on the calling thread as this serial queue's next item when the queue is idle
  // (nothing queued or running) and returns true; returns false at once, without running `f`,
  // when the queue is busy or is not a serial queue. For threads that must never wait for a
  // queue, such as the event thread handing a report to the queue it belongs to.
  template <class F>
  bool runInlineIfIdle(F&& f) {
    return tryRunInlineRef(FunctionRef(f), false);
  }
  // Like runInlineIfIdle, and then the calling thread goes on serving the queue as a worker
  // would: the items queued meanwhile (by `f` above all) run here too, up to one batch, and
  // only what is left is handed to a worker. For a thread that would otherwise wait at once for
  // what `f` starts: the queue's first steps, and an outcome that is ready at once, cost no
  // hand-off to a worker and back.
  template <class F>
  bool runInlineAndDrainIfIdle(F&& f) {
    return tryRunInlineRef(FunctionRef(f), true);
  }

  // Queue-specific values. The key is any unique address; the value is not owned.
  void setSpecific(const void* key, void* value);
  void* getSpecific(const void* key) const;
  // Looks `key` up on the queue the calling thread currently runs (nullptr when none).
  static void* getSpecificCurrent(const void* key);

  // A non-owning reference to a `void()` callable, for sync's no-allocation path.
  class FunctionRef {
   public:
    // Not a copy constructor: copying a FunctionRef copies the reference it holds.
    template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cv_t<F>, FunctionRef>>>
    explicit FunctionRef(F& f)
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o) { (*static_cast<F*>(o))(); }) {}
    void operator()() const { call_(obj_); }

   private:
    void* obj_;
    void (*call_)(void*);
  };

 private:
  friend class QueueImpl;
  Queue(std::string label, QoS qos, Kind kind);
  void syncRef(FunctionRef f, bool barrier);
  bool tryRunInlineRef(FunctionRef f, bool drain);
  template <class F>
  auto syncWith(F& f, bool barrier) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      syncRef(FunctionRef(f), barrier);
    } else {
      static_assert(std::is_default_constructible_v<R>,
                    "sync with a result needs a result to give when the call is refused");
      std::optional<R> out;
      auto g = [&] { out.emplace(f()); };
      syncRef(FunctionRef(g), barrier);
      if (!out) return R{};
      return std::move(*out);
    }
  }

  const std::string label_;
  const QoS qos_;
  const Kind kind_;
  std::unique_ptr<QueueImpl> impl_;
};

using QueuePtr = std::shared_ptr<Queue>;

// Parks the calling (main) thread to serve the main queue for good. Never returns.
[[noreturn]] void dispatchMain();

// Runs main-queue items on the calling thread, which must be the main thread, until `until` has
// passed or stop() is called from an item; returns the number of items run. For tools and tests
// that need the main queue without giving up the main thread for good.
std::size_t runMainQueue(Time until);
void stopMainQueue();

// Number of processors the machine reports; 1 when it reports 0.
unsigned processorCount();

}  // namespace platform::dispatch

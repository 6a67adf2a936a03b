#pragma once
// The coroutine layer: asynchronous code written as straight-line C++20 coroutines on top of
// the dispatch layer.
//
//   Task<int> fetch(MonotonicClock clock) {
//     co_await clock.sleep(std::chrono::seconds(1));       // no thread is held meanwhile
//     int n = co_await withCheckedContinuation<int>([](CheckedContinuation<int> c) {
//       startRequest([c](int v) { c.resumeReturning(v); });  // any callback interface
//     });
//     co_await switchToMainActor();                         // continue on the main queue
//     co_return n;
//   }
//   TaskHandle<int> h = spawn(queue, fetch(MonotonicClock()));
//   h.cancel();                                             // ends the sleep or the wait
//
// - Task<T> (Task.h): a lazy coroutine producing a T or throwing; awaiting it runs it in the
//   awaiting task's context (executor and cancellation).
// - spawn() and TaskHandle<T> (Spawn.h): a task started on a queue, with its own cancellation;
//   its outcome as a Result<T> (Result.h) for code outside tasks.
// - Executors (Executor.h): dispatch queues; the main actor is the main queue. A task resumes
//   on its executor after every suspension; switchTo() changes it.
// - Cancellation: a std::stop_token per spawned task, shared by everything it awaits. Sleeps
//   and cancellable waits end with CancellationError at once; other code polls
//   currentStopToken() or checkCancellation().
// - Continuations (Continuation.h): awaiting any callback interface, resumed exactly once.
// - Clocks (Clock.h, TestClock.h): monotonic and wall clocks with sleeps and strict timers, and
//   a test clock whose time the test moves.
// - UnfoldingStream (Stream.h): values made on demand, ending for good.
//
// Threads: a suspended task holds no thread. Work runs only on dispatch queues; nothing here
// starts a thread except the dispatch layer itself.

#include "platform/async/Clock.h"
#include "platform/async/Continuation.h"
#include "platform/async/Executor.h"
#include "platform/async/Result.h"
#include "platform/async/Spawn.h"
#include "platform/async/Stream.h"
#include "platform/async/Task.h"
#include "platform/async/TestClock.h"

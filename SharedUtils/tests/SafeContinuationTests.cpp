// Resume-once continuations and the cancellable wait built on them.
#include "SharedUtils/SafeContinuation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/async/Spawn.h"
#include "platform/async/tests/AsyncTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"
#include "testsupport/Eventually.h"

namespace sharedutils {
namespace {

using platform::async::CheckedContinuation;
using platform::async::Result;
using platform::async::spawn;
using platform::async::Task;
using platform::dispatch::Queue;
using platform::dispatch::Time;
using namespace std::chrono_literals;

using async_test::finish;

// Resumes the safe continuation it is given from `threads` threads at once, thread i with i.
Task<int> raceResumers(int threads, std::vector<std::thread>& started) {
  co_return co_await platform::async::withCheckedContinuation<int>([&](CheckedContinuation<int> c) {
    auto safe = std::make_shared<SafeContinuation<int>>(std::move(c));
    for (int i = 0; i < threads; ++i) {
      started.emplace_back([safe, i] {
        if (i % 2 == 0) {
          safe->resumeReturning(i);
        } else {
          safe->resumeWith(Result<int>::success(i));
        }
      });
    }
  });
}

// However many resumes race, exactly one value gets through and the checked continuation
// underneath never sees a second resume (which it would report).
TEST(SafeContinuation, RacingResumesDeliverExactlyOneValue) {
  auto q = Queue::makeSerial("safe.race");
  platform::diagnostics::ScopedCapture capture;
  for (int round = 0; round < 50; ++round) {
    std::vector<std::thread> threads;
    int v = finish(spawn(q, raceResumers(4, threads))).value();
    for (auto& t : threads)
      t.join();
    EXPECT_TRUE(v >= 0 && v < 4) << v;
  }
  EXPECT_TRUE(capture.texts().empty());

  // One after the other: the first wins, whatever the kind of the later ones.
  auto sequential = spawn(q, []() -> Task<int> {
    co_return co_await platform::async::withCheckedContinuation<int>(
        [](CheckedContinuation<int> c) {
          SafeContinuation<int> safe(std::move(c));
          EXPECT_TRUE(safe.isPending());
          safe.resumeThrowing(std::runtime_error("first"));
          EXPECT_FALSE(safe.isPending());
          safe.resumeReturning(2);
          safe.resumeWith(Result<int, std::string>::failure("third"));
        });
  });
  auto r = finish(sequential);
  ASSERT_NE(r.errorAs<std::runtime_error>(), nullptr);
  EXPECT_STREQ(r.errorAs<std::runtime_error>()->what(), "first");
  EXPECT_TRUE(capture.texts().empty());
}

// A pending operation that the test controls: it keeps the continuation and resumes it on
// request.
struct PendingOperation {
  std::mutex m;
  std::shared_ptr<SafeContinuation<std::string>> continuation;
  std::atomic<int> calls{0};

  auto operation() {
    return [this](std::shared_ptr<SafeContinuation<std::string>> c) {
      ++calls;
      std::lock_guard lock(m);
      continuation = std::move(c);
    };
  }
  bool started() {
    std::lock_guard lock(m);
    return continuation != nullptr;
  }
  void resume(std::string v) {
    std::lock_guard lock(m);
    continuation->resumeReturning(std::move(v));
  }
};

TEST(CancellableContinuation, CancellationEndsThePendingOperationOnce) {
  auto q = Queue::makeSerial("cancellable");
  platform::diagnostics::ScopedCapture capture;

  // Cancelled while the operation is pending: the await ends with the StringError, and the
  // operation's later resume is ignored.
  PendingOperation pending;
  auto h =
      spawn(q, withCancellableCheckedSafeThrowingContinuation<std::string>(pending.operation()));
  ASSERT_TRUE(::testsupport::eventually([&] { return pending.started(); }));
  h.cancel();
  auto r = finish(h);
  ASSERT_NE(r.errorAs<StringError>(), nullptr);
  EXPECT_EQ(r.errorAs<StringError>()->errorDescription(), "Cancellable task cancelled");
  pending.resume("too late");

  // Resumed by the operation first: a later cancellation changes nothing.
  PendingOperation answered;
  auto h2 =
      spawn(q, withCancellableCheckedSafeThrowingContinuation<std::string>(answered.operation()));
  ASSERT_TRUE(::testsupport::eventually([&] { return answered.started(); }));
  answered.resume("answer");
  EXPECT_EQ(finish(h2).value(), "answer");
  h2.cancel();
  EXPECT_EQ(finish(h2).value(), "answer");

  // Cancelled before the operation got its continuation: the cancellation finds nothing to end,
  // the operation still runs and its answer is the outcome.
  std::atomic<bool> go{false};
  PendingOperation early;
  auto h3 = spawn(q, [&]() -> Task<std::string> {
    while (!go)
      std::this_thread::yield();
    co_return co_await withCancellableCheckedSafeThrowingContinuation<std::string>(
        [&](std::shared_ptr<SafeContinuation<std::string>> c) { c->resumeReturning("decided"); });
  });
  h3.cancel();
  go = true;
  EXPECT_EQ(finish(h3).value(), "decided");
  EXPECT_TRUE(capture.texts().empty());
}

// The operation's resume and the cancellation racing from two threads: one of the two outcomes,
// never both and never a second resume underneath.
TEST(CancellableContinuation, ResumeAndCancellationRace) {
  auto q = Queue::makeConcurrent("cancellable.race");
  platform::diagnostics::ScopedCapture capture;
  for (int round = 0; round < 100; ++round) {
    PendingOperation op;
    auto h = spawn(q, withCancellableCheckedSafeThrowingContinuation<std::string>(op.operation()));
    ASSERT_TRUE(::testsupport::eventually([&] { return op.started(); }));
    std::thread resumer([&] { op.resume("value"); });
    h.cancel();
    resumer.join();
    auto r = finish(h);
    if (r.hasValue()) {
      EXPECT_EQ(r.value(), "value");
    } else {
      ASSERT_NE(r.errorAs<StringError>(), nullptr);
    }
    EXPECT_EQ(op.calls.load(), 1);
  }
  EXPECT_TRUE(capture.texts().empty());
}

}  // namespace
}  // namespace sharedutils

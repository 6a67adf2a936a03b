#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/reactive/Reactive.h"
#include "testsupport/Eventually.h"

namespace platform::reactive {
namespace {

using testsupport::eventually;
using namespace std::chrono_literals;

struct Tagged {
  int sender;
  int seq;
  std::thread::id thread;
};

TEST(ConcurrencyTests, ValuesArriveOnTheSendersThreadInEachSendersOrder) {
  PassthroughSubject<Tagged> subject;
  std::mutex m;
  std::map<int, std::vector<int>> bySender;
  int wrongThread = 0;
  auto token = subject.sink([&](Tagged t) {
    std::lock_guard lock(m);
    bySender[t.sender].push_back(t.seq);
    if (t.thread != std::this_thread::get_id()) ++wrongThread;
  });
  constexpr int kSenders = 4, kValues = 2000;
  {
    std::vector<std::jthread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([&, s] {
        for (int i = 0; i < kValues; ++i)
          subject.send(Tagged{s, i, std::this_thread::get_id()});
      });
    }
  }
  EXPECT_EQ(wrongThread, 0);
  std::vector<int> expected(kValues);
  for (int i = 0; i < kValues; ++i)
    expected[i] = i;
  ASSERT_EQ(bySender.size(), static_cast<std::size_t>(kSenders));
  for (auto& [sender, seqs] : bySender)
    EXPECT_EQ(seqs, expected) << "sender " << sender;
}

TEST(ConcurrencyTests,
     SubscribersComeAndGoWhileOthersSendNothingArrivesAfterCancelAndTheLastValueAgrees) {
  CurrentValueSubject<int> subject(0);
  std::atomic<bool> stop{false};
  std::atomic<int> lateDeliveries{0}, missedCurrent{0}, rounds{0}, last{-1};
  auto steady = subject.sink([&](int v) { last = v; });
  {
    std::vector<std::jthread> threads;
    for (int s = 0; s < 2; ++s) {
      threads.emplace_back([&, s] {
        for (int i = 1; !stop.load(); ++i)
          subject.send(s * 1000000 + i);
      });
    }
    for (int c = 0; c < 2; ++c) {
      threads.emplace_back([&] {
        while (!stop.load()) {
          auto cancelled = std::make_shared<std::atomic<bool>>(false);
          auto received = std::make_shared<std::atomic<int>>(0);
          auto token = subject.sink([cancelled, received, &lateDeliveries](int) {
            if (cancelled->load()) ++lateDeliveries;
            ++*received;
          });
          std::this_thread::yield();
          token.cancel();
          cancelled->store(true);
          if (received->load() < 1) ++missedCurrent;  // the current value must always arrive
          ++rounds;
        }
      });
    }
    EXPECT_TRUE(eventually([&] { return rounds.load() >= 300; }));
    stop = true;
  }
  EXPECT_EQ(lateDeliveries.load(), 0);
  EXPECT_EQ(missedCurrent.load(), 0);
  // Concurrent sends leave the subject's value and what a subscriber saw last in agreement.
  EXPECT_EQ(last.load(), subject.value());
  steady.cancel();
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(ConcurrencyTests, CancelFromAnotherThreadWaitsForTheDeliveryInFlight) {
  PassthroughSubject<int> subject;
  std::atomic<bool> inHandler{false}, release{false}, handlerDone{false}, cancelReturned{false};
  auto token = subject.sink([&](int) {
    inHandler = true;
    eventually([&] { return release.load(); });
    handlerDone = true;
  });
  std::jthread sender([&] { subject.send(1); });
  ASSERT_TRUE(eventually([&] { return inHandler.load(); }));
  std::jthread canceller([&] {
    token.cancel();
    cancelReturned = true;
  });
  // A window in which a cancel that does not wait would have returned.
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(cancelReturned.load()) << "cancel returned while the handler was still running";
  release = true;
  canceller.join();
  EXPECT_TRUE(handlerDone.load());
}

}  // namespace
}  // namespace platform::reactive
